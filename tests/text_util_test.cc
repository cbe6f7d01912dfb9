// TextUtil: trimming classes, tidy, collapse, letter counting and the translatability test.
#include <gtest/gtest.h>

#include <string>

#include "core/doc/text_util.h"

namespace qy {
namespace {

TEST(TextUtil, TrimClassesDifferInTabsAndLineBreaks) {
  struct Case { const char* name; std::string input, blanks, blanksAndBreaks; };
  const Case kCases[] = {
      {"spaces and tabs", " \t a b\t ", "a b", "a b"},
      {"line breaks", "\n a \r\n", "\n a \r\n", "a"},
      {"no-break and ideographic space", "\xC2\xA0\xE3\x80\x80x\xE2\x80\x83", "x", "x"},
      {"line and paragraph separators", "\xE2\x80\xA8x\xE2\x80\xA9", "\xE2\x80\xA8x\xE2\x80\xA9", "x"},
      {"next line", "\xC2\x85x", "\xC2\x85x", "x"},
      {"blank only", " \t ", "", ""},
      {"empty", "", "", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TextUtil::trimBlanks(c.input), c.blanks);
    EXPECT_EQ(TextUtil::trimBlanksAndLineBreaks(c.input), c.blanksAndBreaks);
  }
}

TEST(TextUtil, TidyKeepsTrimmedNonEmptyLines) {
  EXPECT_EQ(TextUtil::tidy(" a \n\n\t\nb"), "a\nb");
  EXPECT_EQ(TextUtil::tidy(" \n\t\n"), "");
  EXPECT_EQ(TextUtil::tidy("a\r\nb"), "a\r\nb");  // CR is not blank; only LF splits
  EXPECT_EQ(TextUtil::tidy("\xE3\x80\x80x\xC2\xA0"), "x");
}

TEST(TextUtil, CollapseJoinsBlankRunsAndDropsInvisibles) {
  struct Case { const char* name; std::string input, want; };
  const Case kCases[] = {
      {"keeps one space at each end", "  a\t\tb ", " a b "},
      {"invisible inside a run", "a \xE2\x80\x8B b", "a b"},
      {"invisible alone", "a\xE2\x80\x8B" "b\xC2\xAD" "c", "abc"},
      {"all eleven invisibles",
       "\xE2\x80\x8B\xE2\x80\x8C\xE2\x80\x8D\xE2\x81\xA0\xEF\xBB\xBF\xC2\xAD\xCD\x8F\xE2\x80\x8E"
       "\xE2\x80\x8F\xD8\x9C\xE1\xA0\x8E", ""},
      {"nbsp and figure space collapse", "a\xC2\xA0\xE2\x80\x87" "b", "a b"},
      {"vertical tab and em space stay", "a\x0B" "b\xE2\x80\x83" "c", "a\x0B" "b\xE2\x80\x83" "c"},
      {"line breaks collapse", "a\r\n\x0C" "b", "a b"},
      {"blanks only", " \n ", " "},
      {"empty", "", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TextUtil::collapse(c.input), c.want);
  }
}

TEST(TextUtil, TranslatableNeedsLettersAndRejectsLoneLinksAndAddresses) {
  struct Case { const char* name; std::string input; size_t letters; bool want; };
  const Case kCases[] = {
      {"two letters", "OK", 2, true},
      {"one letter", "A", 1, false},
      {"digits", "12345", 0, false},
      {"address", "me@example.com", 12, false},
      {"at without dot", "@channel", 7, true},
      {"www token", "www.example", 10, false},
      {"url token", "https://x.org/ab", 11, false},
      {"sentence with link", "see https://x.org", 12, true},
      {"two lines with address", "a\nme@x.org", 7, true},
      {"two Han ideographs", "\xE4\xBD\xA0\xE5\xA5\xBD", 2, true},
      {"accented letters", "\xC3\xA9t\xC3\xA9", 3, true},
      {"symbols only", "-- == !!", 0, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TextUtil::letterCount(c.input), c.letters);
    EXPECT_EQ(TextUtil::translatable(c.input), c.want);
  }
}

}  // namespace
}  // namespace qy
