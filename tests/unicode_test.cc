// Unicode helpers and the shared regex binding.
#include <gtest/gtest.h>

#include "core/base/regex.h"
#include "core/base/unicode.h"

namespace qy {
namespace {

TEST(Unicode, RepairReplacesEachInvalidSubpart) {
  struct Case { const char* name; std::string input, want; };
  const Case kCases[] = {
      {"valid untouched", "h\xC3\xA9llo", "h\xC3\xA9llo"},
      {"lone continuation", "a\x80" "b", "a\xEF\xBF\xBD" "b"},
      {"truncated three-byte", "a\xE2\x82", "a\xEF\xBF\xBD"},
      {"overlong", "\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Unicode::repairUtf8(c.input), c.want);
  }
}

TEST(Unicode, GraphemesCountUserPerceivedCharacters) {
  EXPECT_EQ(Unicode::graphemeCount(""), 0u);
  EXPECT_EQ(Unicode::graphemeCount("abc"), 3u);
  EXPECT_EQ(Unicode::graphemeCount("e\xCC\x81"), 1u);           // e + combining acute
  EXPECT_EQ(Unicode::graphemeCount("\r\n"), 1u);                // CRLF is one character
  EXPECT_EQ(Unicode::graphemeCount("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"), 1u);  // flag
  EXPECT_EQ(Unicode::graphemePrefix("e\xCC\x81xyz", 2), "e\xCC\x81x");
  EXPECT_EQ(Unicode::graphemePrefix("ab", 5), "ab");
}

TEST(Regex, UnicodeClassesAndInvalidSubjects) {
  static const Regex kWord(R"(\w+)");
  auto m = kWord.search("  caf\xC3\xA9!");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->group("  caf\xC3\xA9!", 0), "caf\xC3\xA9");
  EXPECT_FALSE(kWord.contains("\xFF\xFE !"));  // invalid UTF-8 never crashes
  static const Regex kHex(R"(#[0-9a-fA-F]{6})");
  EXPECT_TRUE(kHex.matchesWhole("#12abEF"));
  EXPECT_FALSE(kHex.matchesWhole("#12abEF\n"));
  EXPECT_EQ(Regex("a*").findAll("baab").size(), 4u);  // "", "aa", "" before b, "" at the end
}

}  // namespace
}  // namespace qy
