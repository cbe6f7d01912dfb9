// HTMLDoc rendering: translations after segments (bilingual) and in their place (replace), the
// charset rewrite, and the dark context's head block and rewritten tags.
#include <gtest/gtest.h>

#include <string>

#include "core/dark/dark_context.h"
#include "core/doc/html_doc.h"

namespace qy {
namespace {

const std::string kBlockOpen =
    "<span class=\"qy-tr\" style=\"display:block;margin:4px 0 6px 0;letter-spacing:normal;"
    "text-transform:none;padding:0 0 0 9px;border-left:3px solid #34A77A;\">";

// A translation in place of its source, which stays in the document as the tooltip.
std::string in(const std::string& source, const std::string& html) {
  return "<span class=\"qy-in\" title=\"" + source + "\">" + html + "</span>";
}

Config settings(std::string mode, std::string darkMode = "off") {
  Config cfg;
  cfg.mode = std::move(mode);
  cfg.darkMode = std::move(darkMode);
  return cfg;
}

struct Case {
  const char* name;
  std::string html;
  TranslationDict dict;
  std::string want;
};

template <size_t N>
void check(const Case (&cases)[N], const std::string& mode) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HTMLDoc doc(c.html, mode == "replace");
    EXPECT_EQ(doc.render(c.dict, settings(mode)), c.want);
  }
}

TEST(HTMLRender, BilingualInsertsBlocksAfterSegments) {
  const Case kCases[] = {
      {"after the cell's text", "<td>Good morning</td>", {{"Good morning", "早上好"}},
       "<td>Good morning" + kBlockOpen + "早上好</span></td>"},
      {"after the closing inline tag", "<p>Hello <b>world</b></p>", {{"Hello world", "Bonjour"}},
       "<p>Hello <b>world</b>" + kBlockOpen + "Bonjour</span></p>"},
      {"after an inline image", "<p>Look here <img src=x></p>", {{"Look here", "Regarde"}},
       "<p>Look here <img src=x>" + kBlockOpen + "Regarde</span></p>"},
      {"lines of the translation", "<p>Line one<br>Line two</p>", {{"Line one\nLine two", "Un\n\nDeux"}},
       "<p>Line one<br>Line two" + kBlockOpen + "Un<br>Deux</span></p>"},
      {"translation escaped", "<p>Good morning</p>", {{"Good morning", "a <b> & c"}},
       "<p>Good morning" + kBlockOpen + "a &lt;b&gt; &amp; c</span></p>"},
      {"only segments with a translation", "<p>Good morning</p><p>Good night</p>", {{"Good night", "Bonne nuit"}},
       "<p>Good morning</p><p>Good night" + kBlockOpen + "Bonne nuit</span></p>"},
      {"same as the source ignoring case", "<p>Good morning</p>", {{"Good morning", " GOOD MORNING\n"}},
       "<p>Good morning</p>"},
      {"blank translation", "<p>Good morning</p>", {{"Good morning", " \n\n "}}, "<p>Good morning</p>"},
      {"key must match exactly", "<p>Good morning</p>", {{"good morning", "Bonjour"}}, "<p>Good morning</p>"},
  };
  check(kCases, "bilingual");
  // Any mode but exactly "replace" renders bilingually.
  HTMLDoc doc("<p>Good morning</p>", false);
  EXPECT_EQ(doc.render({{"Good morning", "Hi"}}, settings("Replace")),
            "<p>Good morning" + kBlockOpen + "Hi</span></p>");
}

// Inside the one inline element that holds all of a segment's text, the translation takes on
// the text's colour, size, face and visibility; a white headline on a dark cell stays readable.
TEST(HTMLRender, BilingualBlockGoesInsideTheInlineElementHoldingAllTheText) {
  const std::string kFont = R"(<font color="#FFFFFF" size="4">)";
  const Case kCases[] = {
      {"white headline: innermost of two", "<td><b>" + kFont + "Holiday Gift Ideas</font></b></td>",
       {{"Holiday Gift Ideas", "节日礼物创意"}},
       "<td><b>" + kFont + "Holiday Gift Ideas" + kBlockOpen + "节日礼物创意</span></font></b></td>"},
      {"fine print", R"(<p><font size="1">Terms apply to every offer</font></p>)",
       {{"Terms apply to every offer", "所有优惠均适用条款"}},
       R"(<p><font size="1">Terms apply to every offer)" + kBlockOpen + "所有优惠均适用条款</span></font></p>"},
      {"preheader hidden by its class", R"(<span class="preheader">Your weekly deals are here</span>)",
       {{"Your weekly deals are here", "本周优惠"}},
       R"(<span class="preheader">Your weekly deals are here)" + kBlockOpen + "本周优惠</span></span>"},
      {"a link around the whole text wraps the translation", R"(<p><a href="x">Read the story</a></p>)",
       {{"Read the story", "阅读全文"}}, R"(<p><a href="x">Read the story)" + kBlockOpen + "阅读全文</span></a></p>"},
      {"blank text outside does not count", "<td> <span>Good morning</span> </td>", {{"Good morning", "早上好"}},
       "<td> <span>Good morning" + kBlockOpen + "早上好</span></span> </td>"},
      {"paragraphs inside one element", "<font color=white>First part<br><br>Second part</font>",
       {{"First part", "第一"}, {"Second part", "第二"}},
       "<font color=white>First part" + kBlockOpen + "第一</span><br><br>Second part" + kBlockOpen +
           "第二</span></font>"},
      {"text beside the element: after it", "<p>Hello <b>world</b></p>", {{"Hello world", "你好"}},
       "<p>Hello <b>world</b>" + kBlockOpen + "你好</span></p>"},
      {"two elements: after the last", "<p><b>Hello</b> <i>world</i></p>", {{"Hello world", "你好"}},
       "<p><b>Hello</b> <i>world</i>" + kBlockOpen + "你好</span></p>"},
      {"an image outside: after it", "<p><b>Look here</b> <img src=x></p>", {{"Look here", "看这里"}},
       "<p><b>Look here</b> <img src=x>" + kBlockOpen + "看这里</span></p>"},
      {"element left open: after the text", "<p><b>Good morning</p>", {{"Good morning", "早上好"}},
       "<p><b>Good morning" + kBlockOpen + "早上好</span></p>"},
  };
  check(kCases, "bilingual");
}

TEST(HTMLRender, ReplacePutsTranslationsIntoTextTokens) {
  const Case kCases[] = {
      {"spaces kept around the first token, later tokens reduced",
       "<p> Hello <b>big</b> world </p>", {{"Hello big world", "Bonjour le monde"}},
       "<p> " + in("Hello big world", "Bonjour le monde") + " <b></b> </p>"},
      {"own line breaks dropped, translation brings its own", "<p>Line A<br>Line B</p>",
       {{"Line A\nLine B", "Ligne A\nLigne B"}}, "<p>" + in("Line A\nLine B", "Ligne A<br>Ligne B") + "</p>"},
      {"links translated piece by piece", "<p>Click <a href='x'>here</a> to confirm</p>",
       {{"Click", "Cliquez"}, {"here", "ici"}, {"to confirm", "pour confirmer"}},
       "<p>" + in("Click", "Cliquez") + " <a href='x'>" + in("here", "ici") + "</a> " +
           in("to confirm", "pour confirmer") + "</p>"},
      {"translation escaped", "<p>Good morning</p>", {{"Good morning", "a <b> & c"}},
       "<p>" + in("Good morning", "a &lt;b&gt; &amp; c") + "</p>"},
      {"source escaped in its tooltip", "<p>Say \"hi\" &amp; go &lt;now&gt;</p>",
       {{"Say \"hi\" & go <now>", "Di hola"}},
       "<p><span class=\"qy-in\" title=\"Say &quot;hi&quot; &amp; go &lt;now&gt;\">Di hola</span></p>"},
      {"leading nbsp entity is not white space", "<p>&nbsp;Good morning\n</p>", {{"Good morning", "Bonjour"}},
       "<p>" + in("Good morning", "Bonjour") + " </p>"},
      {"a space followed by a joiner is a trailing space", "<p>Good morning \xE2\x80\x8C</p>",
       {{"Good morning", "Bonjour"}}, "<p>" + in("Good morning", "Bonjour") + " </p>"},
      {"no translation leaves the segment", "<p>Good morning</p>", {}, "<p>Good morning</p>"},
      {"same as the source", "<p>Good morning</p>", {{"Good morning", "good MORNING"}}, "<p>Good morning</p>"},
      {"blank tokens of the segment untouched", "<td><b>Good</b>\n<i>day</i></td>", {{"Good day", "Bonjour"}},
       "<td><b>" + in("Good day", "Bonjour") + "</b>\n<i></i></td>"},
      {"text marked not to translate stays in its place",
       R"(<p>Please call <span translate="no">Preslynn Marsh</span> today</p>)",
       {{"Please call today", "请今天打电话"}},
       "<p>" + in("Please call today", "请今天打电话") + R"( <span translate="no">Preslynn Marsh</span> </p>)"},
  };
  check(kCases, "replace");
}

TEST(HTMLRender, MetaCharsetBecomesUtf8) {
  struct CharsetCase { const char* name; std::string html, want; };
  const CharsetCase kCases[] = {
      {"charset attribute", "<meta charset=\"windows-1252\">", "<meta charset=\"utf-8\">"},
      {"unquoted upper case", "<META CHARSET=Shift_JIS>", "<META CHARSET=utf-8>"},
      {"inside content", "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">",
       "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"},
      {"spaces and apostrophe", "<meta charset = 'koi8-r' >", "<meta charset = 'utf-8' >"},
      {"meta without charset", "<meta name=\"viewport\" content=\"width=device-width\">",
       "<meta name=\"viewport\" content=\"width=device-width\">"},
      {"other tags untouched", "<script charset=\"latin1\"></script><p>charset=latin1</p>",
       "<script charset=\"latin1\"></script><p>charset=latin1</p>"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    HTMLDoc doc(c.html, false);
    EXPECT_EQ(doc.render({}, settings("bilingual")), c.want);
    EXPECT_EQ(doc.render({}, settings("replace")), c.want);
  }
}

TEST(HTMLRender, EmptyDictionaryWithoutDarkReproducesTheInput) {
  const std::string kInputs[] = {
      "",
      "<!DOCTYPE html><html><head><title>T</title></head><body><p>Hello <b>there</b></p></body></html>",
      "a < b <p \"unclosed <!-- comment",
      std::string("\0<p>\xFF\xC3</p>", 10),
  };
  for (const auto& input : kInputs) {
    HTMLDoc doc(input, false);
    EXPECT_EQ(doc.render({}, settings("bilingual")), input);
  }
}

// The head block of a context that has rewritten nothing.
std::string freshHeadBlock(const Config& cfg) { return DarkContext::make(cfg, false)->headBlock(); }

TEST(HTMLRender, HeadBlockGoesAfterHeadElseHtmlElseDoctypeElseAtTheStart) {
  const Config cfg = settings("bilingual", "on");
  const std::string block = freshHeadBlock(cfg);
  struct AnchorCase { const char* name; std::string html, before, after; };
  const AnchorCase kCases[] = {
      {"after <head>", "<!DOCTYPE html><html><HEAD><title>T</title></head><body></body></html>",
       "<!DOCTYPE html><html><HEAD>", "<title>T</title></head><body></body></html>"},
      {"after <html> without a head", "<!DOCTYPE html><html lang=en><body></body></html>",
       "<!DOCTYPE html><html lang=en>", "<body></body></html>"},
      {"after the doctype", "<!doctype html><body></body>", "<!doctype html>", "<body></body>"},
      {"a fragment starts with it", "<p>Hi</p>", "", "<p>Hi</p>"},
      {"a head in a comment does not count", "<!-- <head> --><p>Hi</p>", "", "<!-- <head> --><p>Hi</p>"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HTMLDoc(c.html, false).render({}, cfg), c.before + block + c.after);
  }
}

TEST(HTMLRender, DarkContextRewritesTagsAndStyleSheetsBeforeTheHeadBlockIsWritten) {
  const Config cfg = settings("bilingual", "on");
  const std::string html =
      "<html><head><style>p{color:black}</style><meta charset=latin1></head>"
      "<body><table><tr><td bgcolor=\"#ffffff\">Good morning</td></tr></table></body></html>";
  HTMLDoc doc(html, false);
  const std::string out = doc.render({{"Good morning", "Bonjour"}}, cfg);
  // The head block is written last but sits after <head>, and defines what the body handed out.
  EXPECT_EQ(out.find("<head><meta name=\"color-scheme\" content=\"dark\">"), 6u) << out;
  EXPECT_NE(out.find(":root{--qy-1:"), std::string::npos) << out;
  EXPECT_NE(out.find(":where([data-qyb=\"1\"]){background-color:"), std::string::npos) << out;
  EXPECT_NE(out.find("<style>p{color:var(--qy-1, black)}</style>"), std::string::npos) << out;
  EXPECT_NE(out.find("<meta charset=utf-8>"), std::string::npos) << out;
  EXPECT_NE(out.find("<td data-qyb=\"1\" bgcolor=\"#ffffff\">Good morning" + kBlockOpen + "Bonjour</span></td>"),
            std::string::npos) << out;
  // Rendering twice gives the same text: the document is not changed by rendering.
  EXPECT_EQ(doc.render({{"Good morning", "Bonjour"}}, cfg), out);
}

TEST(HTMLRender, DarkModeFollowsTheSettingsAndTheMailsOwnStyling) {
  const std::string own = "<meta name=\"color-scheme\" content=\"light dark\"><p style=\"color:red\">Hi</p>";
  const std::string plain = "<p style=\"color:red\">Hi</p>";
  HTMLDoc ownDoc(own, false), plainDoc(plain, false);
  EXPECT_FALSE(ownDoc.willDarken(settings("bilingual", "auto")));
  EXPECT_EQ(ownDoc.render({}, settings("bilingual", "auto")), own);
  EXPECT_TRUE(ownDoc.willDarken(settings("bilingual", "on")));
  EXPECT_TRUE(plainDoc.willDarken(settings("bilingual", "auto")));
  EXPECT_FALSE(plainDoc.willDarken(settings("bilingual", "off")));
  EXPECT_FALSE(plainDoc.willDarken(settings("bilingual", "sometimes")));
  const std::string automatic = plainDoc.render({}, settings("bilingual", "auto"));
  EXPECT_EQ(automatic.rfind("<meta name=\"color-scheme\" content=\"light dark\">", 0), 0u) << automatic;
  EXPECT_NE(automatic.find("<p style=\"color:var(--qy-1, red)\">Hi</p>"), std::string::npos) << automatic;
  // Replaced line breaks are removed, not rewritten.
  HTMLDoc lines("<p>Line A<br style=\"color:red\">Line B</p>", true);
  const std::string replaced = lines.render({{"Line A\nLine B", "A\nB"}}, settings("replace", "on"));
  EXPECT_NE(replaced.find("<p>" + in("Line A\nLine B", "A<br>B") + "</p>"), std::string::npos) << replaced;
}

}  // namespace
}  // namespace qy
