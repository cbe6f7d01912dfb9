// Style: escaping, the accent colour, the translation element and the "worth showing" test.
#include <gtest/gtest.h>

#include <string>

#include "core/doc/style.h"

namespace qy {
namespace {

constexpr const char* kOpen =
    R"(<span class="qy-tr" style="display:block;margin:4px 0 6px 0;letter-spacing:normal;text-transform:none;)";

TEST(Style, EscapeLeavesQuotes) {
  EXPECT_EQ(Style::escape(R"(a<b>&"c'&amp;)"), R"(a&lt;b&gt;&amp;"c'&amp;amp;)");
  EXPECT_EQ(Style::escapeWithBreaks(" <br> \n\n x&y\n"), "&lt;br&gt;<br>x&amp;y");
}

TEST(Style, SafeColorAcceptsOnlyTrimmedSixDigitHex) {
  struct Case { const char* name; std::string input, want; };
  const Case kCases[] = {
      {"valid kept with case", " #aBc123\t", "#aBc123"},
      {"three digits", "#abc", "#34A77A"},
      {"empty", "", "#34A77A"},
      {"name", "red", "#34A77A"},
      {"trailing line break", "#123456\n", "#34A77A"},
      {"eight digits", "#12345678", "#34A77A"},
      {"no hash", "123456", "#34A77A"},
      {"quote injection", "#123456\"", "#34A77A"},
      {"ideographic space trimmed", "\xE3\x80\x80#123456", "#123456"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Style::safeColor(c.input), c.want);
  }
}

TEST(Style, TranslationBlockBuildsDeclarationsPerSettings) {
  struct Case { const char* name; std::string style, accent; int64_t scale, opacity; std::string want; };
  const Case kCases[] = {
      {"sidebar example", "sidebar", "#34A77A", 90, 80,
       "padding:0 0 0 9px;border-left:3px solid #34A77A;font-size:90%;opacity:0.8;"},
      {"defaults add nothing", "sidebar", "#34A77A", 100, 100,
       "padding:0 0 0 9px;border-left:3px solid #34A77A;"},
      {"highlight", "highlight", " #ff0000 ", 100, 100,
       "padding:3px 7px;background:#ff000024;border-radius:5px;"},
      {"plain", "plain", "#34A77A", 100, 100, ""},
      {"unknown style is sidebar", "Plain", "bad", 100, 100,
       "padding:0 0 0 9px;border-left:3px solid #34A77A;"},
      {"scale clamped low, opacity floor", "plain", "", 10, 0, "font-size:50%;opacity:0.2;"},
      {"scale clamped high", "plain", "", 500, 100, "font-size:200%;"},
      {"opacity 35", "plain", "", 100, 35, "opacity:0.35;"},
      {"opacity 99", "plain", "", 100, 99, "opacity:0.99;"},
      {"opacity above 100", "plain", "", 100, 250, ""},
      {"negative values", "plain", "", -5, -5, "font-size:50%;opacity:0.2;"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Config cfg;
    cfg.style = c.style;
    cfg.accentColor = c.accent;
    cfg.fontScale = c.scale;
    cfg.opacity = c.opacity;
    EXPECT_EQ(Style::translationBlock("Hello\nworld", cfg),
              std::string(kOpen) + c.want + "\">Hello<br>world</span>");
  }
}

TEST(Style, TranslationBlockShowsMarkupAsText) {
  Config cfg;
  cfg.style = "plain";
  EXPECT_EQ(Style::translationBlock("a <br> b", cfg), std::string(kOpen) + "\">a &lt;br&gt; b</span>");
}

TEST(Style, WorthShowingIgnoresCaseAndBlanks) {
  struct Case { const char* name; std::string translation, original; bool want; };
  const Case kCases[] = {
      {"different", "Bonjour", "Hello", true},
      {"case only", "Hello", "hello", false},
      {"surrounding blanks and breaks", "\n Hello \r\n", "hello", false},
      {"blank translation", " \n\t\n ", "Hello", false},
      {"empty translation", "", "", false},
      {"greek case", "\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x99\xCE\x91", "\xCF\x83\xCE\xBF\xCF\x86\xCE\xB9\xCE\xB1", false},
      {"cyrillic case", "\xD0\x9F\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", false},
      {"sharp s folds to ss", "STRASSE", "stra\xC3\x9F" "e", false},
      {"composed and decomposed", "Caf\xC3\xA9", "CAFE\xCC\x81", false},
      {"accent differs", "cafe", "caf\xC3\xA9", true},
      {"tabs trimmed too", "\tHello\t", "hello", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Style::worthShowing(c.translation, c.original), c.want);
  }
}

}  // namespace
}  // namespace qy
