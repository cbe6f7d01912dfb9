// PlainDoc: paragraphs, quote markers, hard-wrap detection, and the rendered document in
// bilingual and replace mode, with and without dark mode.
#include <gtest/gtest.h>

#include <regex>

#include <string>
#include <vector>

#include "core/doc/plain_doc.h"

namespace qy {
namespace {

using Texts = std::vector<std::string>;

constexpr const char* kStart = R"(<html><head><meta charset="utf-8">)";
constexpr const char* kBody =
    "</head><body style=\"font-family:-apple-system,'Helvetica Neue',sans-serif;font-size:14px;"
    "line-height:1.5\">\n";
constexpr const char* kEnd = "</body></html>";
constexpr const char* kDiv = R"(<div style="white-space:pre-wrap;margin:0 0 1em 0">)";

std::string line(size_t length, char fill = 'a') {
  std::string s = "W";
  s.append(length - 1, fill);
  return s;
}

Config lightConfig(std::string mode = "bilingual") {
  Config cfg;
  cfg.mode = std::move(mode);
  cfg.darkMode = "off";
  cfg.style = "plain";
  return cfg;
}

std::string page(const std::string& paragraphs, const std::string& head = "") {
  return kStart + head + kBody + paragraphs + kEnd;
}

std::string div(const std::string& inner) { return kDiv + inner + "</div>\n"; }
// The rendering without the tooltip spans around translations (checked on their own below).
std::string withoutTooltips(const std::string& html) {
  static const std::regex kInPlace(R"re(<span class="qy-in" title="[^"]*">([^<]*)</span>)re");
  return std::regex_replace(html, kInPlace, "$1");
}
// A paragraph translated in place, with its source as the tooltip.
std::string in(const std::string& source, const std::string& html) {
  return "<span class=\"qy-in\" title=\"" + source + "\">" + html + "</span>";
}

std::string block(const std::string& inner) {
  return R"(<span class="qy-tr" style="display:block;margin:4px 0 6px 0;letter-spacing:normal;text-transform:none;">)" +
         inner + "</span>";
}

TEST(PlainDoc, ParagraphsBecomeSegmentTexts) {
  struct Case { const char* name; std::string body; Texts want; };
  const Case kCases[] = {
      {"empty body", "", {}},
      {"blank lines only", " \n\t\r\n\n", {}},
      {"two paragraphs", "Hello there\nsecond line\n\n\n  Next one here  \n", {"Hello there\nsecond line", "Next one here"}},
      {"CRLF normalised", "Hello there\r\nagain\r\n\r\nBye now", {"Hello there\nagain", "Bye now"}},
      {"lone CR is no break, collapse makes it a space", "Hello\rthere", {"Hello there"}},
      {"quote markers removed", "> > Hello there", {"Hello there"}},
      {"marker variants", ">>text one\n>  text two\n  > not a marker", {"text one\ntext two\n> not a marker"}},
      {"quoted blank line joins paragraphs", "> Hello there\n>\n> Good bye", {"Hello there\nGood bye"}},
      {"invisible line is not blank", "Hello there\n\xE2\x80\x8B\nGood bye", {"Hello there\nGood bye"}},
      {"blanks collapsed", "Hello \t  there\xC2\xA0" "friend", {"Hello there friend"}},
      {"link only", "https://example.com/x", {}},
      {"single letter", "A", {}},
      {"digits", "12345", {}},
      {"separator", "--", {}},
      {"repeated paragraphs listed twice", "Same text\n\nSame text", {"Same text", "Same text"}},
      {"ideographic space line is blank", "Hello there\n\xE3\x80\x80\nGood bye", {"Hello there", "Good bye"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PlainDoc(c.body).segmentTexts(), c.want);
  }
}

TEST(PlainDoc, HardWrappedParagraphsJoinWithSpaces) {
  struct Case { const char* name; std::vector<size_t> lengths; char joiner; };
  const Case kCases[] = {
      {"60 70 20", {60, 70, 20}, ' '},
      {"60 40 70", {60, 40, 70}, '\n'},
      {"49 is too short", {49, 60}, '\n'},
      {"50 is wrapped", {50, 60}, ' '},
      {"90 is wrapped", {90, 60}, ' '},
      {"91 is too long", {91, 60}, '\n'},
      {"last line does not count", {70, 200}, ' '},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string body, want;
    for (size_t length : c.lengths) {
      if (!body.empty()) {
        body += "\n";
        want += c.joiner;
      }
      body += "> " + line(length);
      want += line(length);
    }
    EXPECT_EQ(PlainDoc(body).segmentTexts(), Texts{want});
  }
  // Characters are user-perceived: 50 accented letters written with combining marks.
  std::string combining;
  for (int i = 0; i < 50; ++i) combining += "e\xCC\x81";
  EXPECT_EQ(PlainDoc(combining + "\nend of it").segmentTexts(), Texts{combining + " end of it"});
  std::string cjk;
  for (int i = 0; i < 49; ++i) cjk += "\xE5\xAD\x97";
  EXPECT_EQ(PlainDoc(cjk + "\nend of it").segmentTexts(), Texts{cjk + "\nend of it"});
}

TEST(PlainDoc, RendersEmptyBodyAsSkeleton) {
  EXPECT_EQ(PlainDoc("").render({}, lightConfig()), page(""));
  EXPECT_EQ(PlainDoc("\n \n").render({}, lightConfig()), page(""));
}

TEST(PlainDoc, RendersBilingualAndReplace) {
  const std::string body = "> Hello <there> & you\n>   second line\n\n\n--\n\nSame text\n\nSame text\n\nUntranslated one";
  const TranslationDict dict = {
      {"Hello <there> & you\nsecond line", "Bonjour <là>\net toi"},
      {"Same text", "Même texte"},
      {"Untranslated two", "never used"},
  };
  PlainDoc doc(body);
  const std::string rawFirst = div("&gt; Hello &lt;there&gt; &amp; you\n&gt;   second line");

  EXPECT_EQ(doc.render(dict, lightConfig("bilingual")),
            page(kDiv + std::string("&gt; Hello &lt;there&gt; &amp; you\n&gt;   second line") +
                 block("Bonjour &lt;là&gt;<br>et toi") + "</div>\n" + div("--") +
                 kDiv + "Same text" + block("Même texte") + "</div>\n" +
                 kDiv + "Same text" + block("Même texte") + "</div>\n" + div("Untranslated one")));

  EXPECT_EQ(doc.render(dict, lightConfig("replace")),
            page(div("<span class=\"qy-in\" title=\"&gt; Hello &lt;there&gt; &amp; you\n&gt;   second line\">"
                     "&gt; Bonjour &lt;là&gt;\n&gt; et toi</span>") + div("--") + div(in("Same text", "Même texte")) +
                 div(in("Same text", "Même texte")) + div("Untranslated one")));

  // Without translations both modes show the escaped raw paragraphs.
  const std::string plain = page(rawFirst + div("--") + div("Same text") + div("Same text") + div("Untranslated one"));
  EXPECT_EQ(doc.render({}, lightConfig("bilingual")), plain);
  EXPECT_EQ(doc.render({}, lightConfig("replace")), plain);
}

// A quoted question replaced by its bare translation would read as the sender's own words.
TEST(PlainDoc, ReplaceKeepsTheQuoteMarkersOnEveryLineOfTheTranslation) {
  struct Case { const char* name; std::string body, text, translation, want; };
  const Case kCases[] = {
      {"one level", "> When does the first session start?", "When does the first session start?",
       "第一节课什么时候开始？", "&gt; 第一节课什么时候开始？"},
      {"two levels, written tight", ">>Are you coming to the meeting?", "Are you coming to the meeting?",
       "你来开会吗？", "&gt; &gt; 你来开会吗？"},
      {"every line of a two-line translation", "> First line of it\n> second line of it",
       "First line of it\nsecond line of it", "第一行\n第二行", "&gt; 第一行\n&gt; 第二行"},
      {"levels as the first line has them", "> > Deeper first line\n> shallower second line",
       "Deeper first line\nshallower second line", "一\n二", "&gt; &gt; 一\n&gt; &gt; 二"},
      {"unquoted paragraph", "See you on Monday then", "See you on Monday then", "周一见", "周一见"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    PlainDoc doc(c.body);
    ASSERT_EQ(doc.segmentTexts(), Texts{c.text});
    EXPECT_EQ(withoutTooltips(doc.render({{c.text, c.translation}}, lightConfig("replace"))), page(div(c.want)));
  }
}

// Names, addresses and titles under the "-- " line come out as nonsense when translated.
TEST(PlainDoc, ParagraphsFromTheSignatureSeparatorOnAreNotTranslated) {
  struct Case { const char* name; std::string body; Texts want; };
  const Case kCases[] = {
      {"separator inside a paragraph",
       "Thanks for the update on the schedule.\n\nBest regards,\nPreslynn\n-- \nPreslynn Marsh\n"
       "Senior Curator\n\n12 Preslynn Drive, Springfield",
       {"Thanks for the update on the schedule.", "Best regards,\nPreslynn"}},
      {"CRLF line ends", "See you soon, all of you\r\n-- \r\nPreslynn Marsh\r\n",
       {"See you soon, all of you"}},
      {"without its space it is no separator", "Hello there\n\n--\n\nKind words here",
       {"Hello there", "Kind words here"}},
      {"a quoted separator is not ours", "> Quoted text here\n> -- \n> Quoted name here",
       {"Quoted text here\n--\nQuoted name here"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PlainDoc(c.body).segmentTexts(), c.want);
  }
  // The signature shows as it came, in both modes, even when its text has a translation.
  PlainDoc doc("Thanks a lot for this\n-- \nSenior Curator");
  const TranslationDict dict = {{"Thanks a lot for this", "非常感谢"}, {"Senior Curator", "高级馆长"}};
  EXPECT_EQ(withoutTooltips(doc.render(dict, lightConfig("replace"))), page(div("非常感谢") + div("-- \nSenior Curator")));
}

TEST(PlainDoc, TranslationsThatAddNothingAreNotShown) {
  PlainDoc doc("Hello World");
  const std::string plain = page(div("Hello World"));
  for (const char* mode : {"bilingual", "replace"}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(doc.render({{"Hello World", "hello world"}}, lightConfig(mode)), plain);
    EXPECT_EQ(doc.render({{"Hello World", " \n "}}, lightConfig(mode)), plain);
  }
}

TEST(PlainDoc, DarkSettingsAddTheHeadBlock) {
  PlainDoc doc("Hello World");
  Config cfg = lightConfig();
  cfg.darkMode = "auto";
  EXPECT_EQ(doc.render({}, cfg),
            page(div("Hello World"),
                 R"(<meta name="color-scheme" content="light dark"><meta name="supported-color-schemes" content="light dark">)"
                 R"(<style data-qy-dark>:root{color-scheme:light dark !important}@media (prefers-color-scheme:dark){)"
                 R"(:where(html){background-color:#1e1e1e;color:#e0e0e0}:where(a:link){color:#80b4f8}:where(a:visited){color:#ac92d9}})"
                 R"(</style>)"));
  cfg.darkMode = "on";
  cfg.darkBackground = "#000000";
  std::string on = doc.render({}, cfg);
  EXPECT_NE(on.find(R"(<style data-qy-dark>:root{color-scheme:dark !important}:where(html){background-color:#000000;)"),
            std::string::npos);
  EXPECT_FALSE(doc.willDarken(cfg));
}

TEST(PlainDoc, RawKeepsLoneCarriageReturnsAndLeadingSpaces) {
  EXPECT_EQ(PlainDoc("  Hello\rthere\r\n  you").render({}, lightConfig()), page(div("  Hello\rthere\n  you")));
}

TEST(PlainDoc, InvalidUtf8IsRepaired) {
  PlainDoc doc("Caf\xC3 ok now\xFF");
  EXPECT_EQ(doc.segmentTexts(), Texts{"Caf\xEF\xBF\xBD ok now\xEF\xBF\xBD"});
}

}  // namespace
}  // namespace qy
