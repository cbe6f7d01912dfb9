// HTMLDoc segmentation: which text forms segments, where they end, which tokens they own, and
// dark-support detection. Segments are compared as short dumps.
#include <gtest/gtest.h>

#include <string>

#include "core/doc/html_doc.h"

namespace qy {
namespace {

// "text @lastTokRaw" plus " t=N" (text tokens) and " br=N" when there are line breaks; segments
// joined by " | ". Line feeds in the text show as "\n".
std::string dump(const HTMLDoc& doc) {
  std::string out;
  for (const HTMLDoc::Segment& s : doc.segments()) {
    if (!out.empty()) out += " | ";
    for (char ch : s.text) out += ch == '\n' ? std::string("\\n") : std::string(1, ch);
    out += " @" + std::string(doc.toks()[s.lastTok].raw) + " t=" + std::to_string(s.textToks.size());
    if (!s.brToks.empty()) out += " br=" + std::to_string(s.brToks.size());
  }
  return out;
}

struct Case {
  const char* name;
  std::string html;
  std::string want;
};

template <size_t N>
void check(const Case (&cases)[N]) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dump(HTMLDoc(c.html, false)), c.want);
  }
}

TEST(HTMLDoc, SegmentsFollowBlocksAndInlineMarkup) {
  const Case kCases[] = {
      {"inline markup joins, blocks split", "<p>Hello <b>world</b></p><p>Second one</p>",
       "Hello world @</b> t=2 | Second one @Second one t=1"},
      {"text outside any element", "Just some words", "Just some words @Just some words t=1"},
      {"cells are segments", "<table><tr><td>Good morning</td><td>Good night</td></tr></table>",
       "Good morning @Good morning t=1 | Good night @Good night t=1"},
      {"unknown and namespaced tags are blocks", "one two<o:p>three four</o:p><x-y>five six",
       "one two @one two t=1 | three four @three four t=1 | five six @five six t=1"},
      {"end tag of br is a block", "one two</br>three four", "one two @one two t=1 | three four @three four t=1"},
      {"entities decoded and blanks collapsed", "<p>caf&eacute;&nbsp;&nbsp; au\n\tlait</p>",
       "caf\u00E9 au lait @caf&eacute;&nbsp;&nbsp; au\n\tlait t=1"},
      {"blank text tokens join but do not count", "<p><b>Hi</b> <i>there</i></p>", "Hi there @</i> t=2"},
      {"comments do not end the run (pieces keep their spaces)", "Hello <!-- x --> world",
       "Hello  world @ world t=2"},
      {"inline image carries the translation", "<p>Look here <img src=x></p>", "Look here @<img src=x> t=1"},
      {"closing tags before text do not move lastTok", "<p></b>Hi you</p>", "Hi you @Hi you t=1"},
      {"only a link, digits or a letter", "<p>https://x.org/a</p><p>12345</p><p>a</p><p>x@y.com</p>", ""},
      {"two-letter word is translatable", "<p>OK</p>", "OK @OK t=1"},
      {"no visible text", "<p> &nbsp; </p><br><img src=x>", ""},
      {"invisible characters only", "<p>\u200B&zwj;\u00AD</p>", ""},
  };
  check(kCases);
}

TEST(HTMLDoc, LineBreaksJoinLinesAndPairsEndParagraphs) {
  const Case kCases[] = {
      {"single br joins lines", "Line one<br>Line two", "Line one\\nLine two @Line two t=2 br=1"},
      {"double br ends the paragraph", "Line one<br><br>Line two", "Line one @Line one t=1 | Line two @Line two t=1"},
      {"blank text between brs", "Line one<br> &nbsp; <br>Line two", "Line one @Line one t=1 | Line two @Line two t=1"},
      {"comment between brs", "Line one<br><!-- c --><br/>Line two", "Line one @Line one t=1 | Line two @Line two t=1"},
      {"br before an element is still a line", "Line one<br><b>Line two</b>", "Line one\\nLine two @</b> t=2 br=1"},
      {"leading br gives no empty line", "<p><br>Hello there</p>", "Hello there @Hello there t=1 br=1"},
      {"three brs", "aa<br><br><br>bb", "aa @aa t=1 | bb @bb t=1"},
      {"br inside hidden content is ignored", "<div style=\"display:none\">x<br>y</div>ab<br>cd",
       "ab\\ncd @cd t=2 br=1"},
  };
  check(kCases);
}

TEST(HTMLDoc, SkippedAndHiddenElementsFormNoSegments) {
  const Case kCases[] = {
      {"pre", "<pre>code here</pre>after it", "after it @after it t=1"},
      {"title and head", "<head><title>Re: news</title></head><body>Hi there</body>", "Hi there @Hi there t=1"},
      {"head left open ends at the body", "<html><head><style>p{}</style><body><p>Hi there</p></body></html>",
       "Hi there @Hi there t=1"},
      {"text in a head left open without a body", "<head><meta charset=utf-8>secret text", ""},
      {"style", "<style>p{color:red}</style>after it", "after it @after it t=1"},
      {"select", "<select><option>One one<option>Two two</select>after it", "after it @after it t=1"},
      {"svg", "<svg><text>drawn text</text></svg>after it", "after it @after it t=1"},
      {"noscript", "<noscript>enable it</noscript>after it", "after it @after it t=1"},
      {"display none", "<div style=\"display: none\">secret text</div>after it", "after it @after it t=1"},
      {"mso-hide", "before it<span style='mso-hide:all'>secret text</span>after it",
       "before it @before it t=1 | after it @after it t=1"},
      {"visibility hidden", "<p style=\"VISIBILITY : Hidden\">secret text</p>", ""},
      {"opacity zero", "<td style=\"opacity:0\">secret text</td>", ""},
      {"opacity half is visible", "<td style=\"opacity:0.5\">seen text</td>", "seen text @seen text t=1"},
      {"max-height zero", "<div style=\"max-height:0px;overflow:hidden\">secret text</div>", ""},
      {"max-height zero before a quote", "<div style='max-height:0'>secret text</div>", ""},
      {"max-height ten is visible", "<div style=\"max-height:10px\">seen text</div>", "seen text @seen text t=1"},
      {"hidden pattern needs a style attribute", "<div class=\"display:none\">seen text</div>",
       "seen text @seen text t=1"},
      {"hidden void image keeps the depth", "<p><img style=\"display:none\">seen text</p>", "seen text @seen text t=1"},
      {"unclosed hidden span closed by its div", "<div><span style=\"display:none\">secret text</div>after it",
       "after it @after it t=1"},
      {"nested hidden elements", "<div style=\"display:none\"><div style=\"display:none\">a b</div>c d</div>e f",
       "e f @e f t=1"},
      {"stray end tag leaves the stack alone", "<div style=\"display:none\">a b</p>c d</div>e f", "e f @e f t=1"},
      {"end tag closes the topmost of its name", "<div><div style=\"display:none\">a b</div>c d</div>",
       "c d @c d t=1"},
  };
  check(kCases);
}

// Names, codes and addresses the sender marked as not to be translated.
TEST(HTMLDoc, TextMarkedNotToTranslateFormsNoSegment) {
  const Case kCases[] = {
      {"translate=no on a block", R"(<p translate="no">Acme Widgets GmbH</p><p>after it</p>)", "after it @after it t=1"},
      {"any case, unquoted, blanks", "<p TRANSLATE= No >Acme Widgets</p>", ""},
      {"notranslate among the classes", R"(<div class="footer notranslate x">Preslynn Drive 12</div>after it)",
       "after it @after it t=1"},
      {"descendants too", R"(<div translate="no"><p>Inside text</p><b>bold text</b></div>Outside text)",
       "Outside text @Outside text t=1"},
      {"inline: the sentence around it stays one",
       R"(<p>Please call <span class="notranslate">Preslynn Marsh</span> today</p>)",
       "Please call today @ today t=2"},
      {"translate=yes is translated", R"(<p translate="yes">Good morning</p>)", "Good morning @Good morning t=1"},
      {"a longer class name is not the mark", R"(<p class="notranslated">Good morning</p>)",
       "Good morning @Good morning t=1"},
      {"the word in a value is not the mark", R"(<p title="translate no">Good morning</p>)",
       "Good morning @Good morning t=1"},
  };
  check(kCases);
  HTMLDoc replaced(R"(<p>Call <span translate="no">Preslynn</span> now <a href="x">here</a></p>)", true);
  EXPECT_EQ(dump(replaced), "Call @Call  t=1 | now @ now  t=1 | here @here t=1");
}

TEST(HTMLDoc, SplitLinkedCutsLinkedParagraphsPerTextToken) {
  const std::string html = "<p>Click <a href='x'>here</a> to confirm</p><p>No link in this one</p>";
  EXPECT_EQ(dump(HTMLDoc(html, true)),
            "Click @Click  t=1 | here @here t=1 | to confirm @ to confirm t=1 | "
            "No link in this one @No link in this one t=1");
  EXPECT_EQ(dump(HTMLDoc(html, false)),
            "Click here to confirm @ to confirm t=3 | No link in this one @No link in this one t=1");
  // A single text token with a link stays whole (the link around all of it holds its
  // translation); untranslatable pieces are dropped.
  EXPECT_EQ(dump(HTMLDoc("<p><a href=x>Read more</a></p>", true)), "Read more @Read more t=1");
  EXPECT_EQ(dump(HTMLDoc("<p>See <a href=x>1</a></p>", true)), "See @See  t=1");
}

TEST(HTMLDoc, DetectsOwnDarkStyling) {
  struct DarkCase { const char* name; std::string html; bool want; };
  const DarkCase kCases[] = {
      {"color-scheme light dark", "<meta name=\"color-scheme\" content=\"light dark\">", true},
      {"supported-color-schemes", "<META NAME=\"supported-color-schemes\" CONTENT=\"Light Dark\">", true},
      {"dark spelled with the Kelvin sign", "<meta name=\"color-scheme\" content=\"light DAR\xE2\x84\xAA\">", true},
      {"color-scheme light only", "<meta name=\"color-scheme\" content=\"light\">", false},
      {"media query in a style sheet", "<style>@media (prefers-color-scheme: light){p{}}</style>", true},
      {"media query outside a style sheet", "<p>prefers-color-scheme</p><!-- prefers-color-scheme -->", false},
      {"style sheet after a comment", "<style></style><!--prefers-color-scheme-->", false},
      {"no styling", "<p>Hello</p>", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HTMLDoc(c.html, false).supportsDark(), c.want);
  }
}

TEST(HTMLDoc, SegmentTextsListsRepeatsOncePerSegment) {
  HTMLDoc doc("<p>Thank you</p><p>Thank you</p><p></p>", false);
  EXPECT_EQ(doc.segmentTexts(), (std::vector<std::string>{"Thank you", "Thank you"}));
  EXPECT_TRUE(HTMLDoc("", false).segmentTexts().empty());
  EXPECT_TRUE(HTMLDoc("<html><head><title>x</title></head><body> </body></html>", false).segmentTexts().empty());
}

TEST(HTMLDoc, DeepAndUnbalancedNestingStaysCorrect) {
  std::string html;
  for (int i = 0; i < 100000; ++i) html += "<div>";
  html += "<span style=\"display:none\">";
  for (int i = 0; i < 50000; ++i) html += "</p>";  // never open: must not disturb the stack
  html += "hidden text</span>shown text";
  for (int i = 0; i < 100000; ++i) html += "</div>";
  html += "<b>after all</b>";
  HTMLDoc doc(html, false);
  EXPECT_EQ(doc.segmentTexts(), (std::vector<std::string>{"shown text", "after all"}));
}

TEST(HTMLDoc, AnyBytesSegmentAndRender) {
  const std::string kInputs[] = {
      "<p>caf\xC3",                                     // cut inside a character
      "<p>\xFF\xFE broken \xC0\xAF bytes</p>",             // invalid UTF-8 in text
      std::string("<p>a\0b nul\0</p><b\0>x y", 22),      // NUL bytes
      "</div></p></b></span>Stray ends here</td></tr>",  // unbalanced end tags
      "<p title=\"" + std::string(1 << 20, 'v') + "\">Long attribute</p>",
      "<p style='" + std::string(1 << 20, ';') + "'>Long style</p>",
      "<p>Entity at the end &amp",
      "<p>Entity at the end &#x41;",
      "Text then &",
  };
  Config cfg;
  cfg.darkMode = "on";
  for (const auto& input : kInputs) {
    SCOPED_TRACE(input.substr(0, 30));
    for (const char* mode : {"bilingual", "replace"}) {
      cfg.mode = mode;
      HTMLDoc doc(input, cfg.mode == "replace");
      TranslationDict dict;
      for (const auto& text : doc.segmentTexts()) dict[text] = "[" + text + "]";
      EXPECT_FALSE(doc.render(dict, cfg).empty());
      Config plain = cfg;
      plain.darkMode = "off";
      EXPECT_EQ(doc.render({}, plain), input);
    }
  }
  // Invalid bytes reach the translator only as U+FFFD.
  EXPECT_EQ(HTMLDoc("<p>ab \xFF cd</p>", false).segmentTexts(), (std::vector<std::string>{"ab \uFFFD cd"}));
}

}  // namespace
}  // namespace qy
