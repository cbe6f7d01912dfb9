// DarkContext: construction by the settings, declaration and style sheet rewriting, the tag
// scanner with its markers, and the head block to the character.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core/dark/dark_context.h"

namespace qy {
namespace {

DarkContext context(std::string darkMode = "auto", std::string background = "#1E1E1E") {
  Config cfg;
  cfg.darkMode = std::move(darkMode);
  cfg.darkBackground = std::move(background);
  auto made = DarkContext::make(cfg, false);
  EXPECT_TRUE(made);
  return std::move(*made);
}

TEST(DarkContext, SettingsDecideWhetherAndHowToDarken) {
  struct Case { const char* name; std::string mode; bool supportsDark; bool made, always; };
  const Case kCases[] = {
      {"on", "on", false, true, true},
      {"on even when the mail supports dark", "on", true, true, true},
      {"auto", "auto", false, true, false},
      {"auto with a dark-ready mail", "auto", true, false, false},
      {"off", "off", false, false, false},
      {"unknown value", "On", false, false, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Config cfg;
    cfg.darkMode = c.mode;
    auto made = DarkContext::make(cfg, c.supportsDark);
    ASSERT_EQ(made.has_value(), c.made);
    if (made) {
      EXPECT_EQ(made->always(), c.always);
    }
  }
}

TEST(DarkContext, HeadBlockOfAFreshContext) {
  EXPECT_EQ(context("auto").headBlock(),
            R"~(<meta name="color-scheme" content="light dark"><meta name="supported-color-schemes" content="light dark">)~"
            R"~(<style data-qy-dark>:root{color-scheme:light dark !important}@media (prefers-color-scheme:dark){)~"
            R"~(:where(html){background-color:#1e1e1e;color:#e0e0e0}:where(a:link){color:#80b4f8}:where(a:visited){color:#ac92d9}})~"
            R"~(</style>)~");
  EXPECT_EQ(context("on").headBlock(),
            R"~(<meta name="color-scheme" content="dark"><meta name="supported-color-schemes" content="dark">)~"
            R"~(<style data-qy-dark>:root{color-scheme:dark !important})~"
            R"~(:where(html){background-color:#1e1e1e;color:#e0e0e0}:where(a:link){color:#80b4f8}:where(a:visited){color:#ac92d9})~"
            R"~(</style>)~");
}

TEST(DarkContext, BaseFallsBackWhenTheSettingIsNoColour) {
  for (const char* background : {"", "not a colour", "rgb(nan,0,0)", "#12", "1e400"}) {
    SCOPED_TRACE(background);
    EXPECT_EQ(context("on", background).base().css(), "#1e1e1e");
  }
  EXPECT_EQ(context("on", " navy ").base().css(), "#000080");
}

TEST(DarkContext, DeclarationsWrapColoursInNumberedVariables) {
  DarkContext dark = context();
  EXPECT_EQ(dark.rewriteDeclarations("color:#333;background:#fff url(x.png)"),
            "color:var(--qy-1, #333);background:var(--qy-2, #fff) url(x.png)");
  EXPECT_EQ(dark.variableValues(), (std::vector<std::string>{"#c6c6c6", "#1e1e1e"}));
  // The same background reuses its number, in either letter case; as a text colour it is new.
  EXPECT_EQ(dark.rewriteDeclarations("background-color: #FFF"), "background-color: var(--qy-2, #FFF)");
  EXPECT_EQ(dark.rewriteDeclarations("COLOR:#fff;x"), "COLOR:#fff;x");  // white text stays
  EXPECT_EQ(dark.rewriteDeclarations("border:1px solid #ccc"), "border:1px solid var(--qy-3, #ccc)");
  EXPECT_EQ(dark.variableValues().back(), "#4c4c4c");
  EXPECT_EQ(dark.rewriteDeclarations("caret-color:#fff;outline:red"),
            "caret-color:#fff;outline:var(--qy-4, red)");
}

TEST(DarkContext, DeclarationsLeaveWhatIsNoColourAlone) {
  struct Case { const char* name; std::string input, want; };
  const Case kCases[] = {
      {"black background", "background:#000", "background:#000"},
      {"keywords", "color:inherit;background:transparent none;border:0 none", "color:inherit;background:transparent none;border:0 none"},
      {"colour inside a url", "background:url(red.png) #000", "background:url(red.png) #000"},
      {"url without its parenthesis", "background:url(x.png white", "background:url(x.png var(--qy-1, white)"},
      {"not a colour property", "text-color:red;colorx:red;my-color:red", "text-color:red;colorx:red;my-color:red"},
      {"rgb function", "color: rgba(0,0,0,.5) !important", "color: var(--qy-2, rgba(0,0,0,.5)) !important"},
      {"unparsable function", "color:rgb(1,2)", "color:rgb(1,2)"},
      {"non-finite function", "color:rgb(nan,0,0);color:hsl(inf,100%,50%)", "color:rgb(nan,0,0);color:hsl(inf,100%,50%)"},
      {"hex followed by a word character", "color:#333x", "color:#333x"},
      {"word before a parenthesis", "color:red(1)", "color:red(1)"},
      {"no declarations", "margin:0;padding:1px", "margin:0;padding:1px"},
      {"gradient colours", "background-image:linear-gradient(#fff, blue)",
       "background-image:linear-gradient(var(--qy-3, #fff), var(--qy-4, blue))"},
      // Word characters as ICU reads them: marks and Indic vowel signs join a word, "²" does not.
      {"vowel sign before the property", "\xE0\xA4\xBF" "color:red", "\xE0\xA4\xBF" "color:red"},
      {"combining mark after a colour word", "color:red\xCC\x81", "color:red\xCC\x81"},
      {"superscript digit beside colours", "color:#333\xC2\xB2;border:\xC2\xB2rgb(0,0,0)",
       "color:var(--qy-5, #333)\xC2\xB2;border:\xC2\xB2var(--qy-6, rgb(0,0,0))"},
  };
  DarkContext dark = context();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dark.rewriteDeclarations(c.input), c.want);
  }
}

TEST(DarkContext, StylesheetRewritesInnermostBlocks) {
  DarkContext dark = context();
  EXPECT_EQ(dark.rewriteStylesheet("@media screen{p{color:black}}"),
            "@media screen{p{color:var(--qy-1, black)}}");
  EXPECT_EQ(dark.rewriteStylesheet("a{color:black} b{margin:0} .c{background:WHITE}"),
            "a{color:var(--qy-1, black)} b{margin:0} .c{background:var(--qy-2, WHITE)}");
  EXPECT_EQ(dark.rewriteStylesheet("color:black"), "color:black");  // no block
  EXPECT_EQ(dark.rewriteStylesheet("p{color:black"), "p{color:black");
  EXPECT_EQ(dark.rewriteStylesheet(""), "");
}

TEST(DarkContext, TagsGetRewrittenStylesAndMarkers) {
  struct Case { const char* name; std::string tag, tagName, want; };
  const Case kCases[] = {
      {"bgcolor marker", R"~(<td bgcolor="#ffffff" width=10>)~", "td", R"~(<td data-qyb="1" bgcolor="#ffffff" width=10>)~"},
      {"unquoted style gets quotes", "<div style=color:red>", "div", R"~(<div style="color:var(--qy-1, red)">)~"},
      {"font colour", R"~(<font color="blue">)~", "font", R"~(<font data-qyc="1" color="blue">)~"},
      {"colour on a paragraph", R"~(<p color="blue">)~", "p", R"~(<p color="blue">)~"},
      {"image named colour", R"~(<img src="color.png">)~", "img", R"~(<img src="color.png">)~"},
      {"body text", R"~(<body text="#000000">)~", "body", R"~(<body data-qyc="2" text="#000000">)~"},
      {"same dark background shares a marker", R"~(<table BGCOLOR=white>)~", "table", R"~(<table data-qyb="1" BGCOLOR=white>)~"},
      {"black background needs no marker", R"~(<td bgcolor="black">)~", "td", R"~(<td bgcolor="black">)~"},
      {"markers in the order found", R"~(<body text=black bgcolor=#eee style='color:red'>)~", "body",
       R"~(<body data-qyc="2" data-qyb="2" text=black bgcolor=#eee style='color:var(--qy-1, red)'>)~"},
      {"upper-case attribute and tag", R"~(<TD STYLE="Background:#FFF">)~", "td", R"~(<TD STYLE="Background:var(--qy-2, #FFF)">)~"},
      {"quoted unparsable", R"~(<td bgcolor="#12">)~", "td", R"~(<td bgcolor="#12">)~"},
      {"quote inside an unquoted style stays inert", R"~(<div style=color:red"onmouseover=alert(1)>)~", "div",
       R"~(<div style="color:var(--qy-1, red)&quot;onmouseover=alert(1)">)~"},
      {"unbalanced quote", R"~(<div style="color:red>)~", "div", R"~(<div style="color:var(--qy-1, red)>)~"},
      {"name running to the end", "<div style", "div", "<div style"},
      {"lone equals", "<div = style=color:red>", "div", R"~(<div = style="color:var(--qy-1, red)">)~"},
      {"self-closing", "<div/style=color:red/>", "div", R"~(<div/style="color:var(--qy-1, red)/">)~"},
      {"value after spaces", "<div style = 'color:red' >", "div", "<div style = 'color:var(--qy-1, red)' >"},
      {"nothing after equals", "<div style=", "div", "<div style="},
      {"invalid UTF-8 bytes kept", "<div title=\"\xFF\xFE\" style=\"color:red\xC3\">", "div",
       "<div title=\"\xFF\xFE\" style=\"color:var(--qy-1, red)\xC3\">"},
      {"style in another attribute", R"~(<div data-style="x" color=red>)~", "div", R"~(<div data-style="x" color=red>)~"},
  };
  DarkContext dark = context();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dark.rewriteTag(c.tag, c.tagName), c.want);
  }
  std::string head = dark.headBlock();
  EXPECT_NE(head.find(R"~(:where([data-qyb="1"]){background-color:#1e1e1e}:where([data-qyb="2"]){background-color:)~"),
            std::string::npos);
  EXPECT_NE(head.find(R"~(:where([data-qyc="1"]){color:)~"), std::string::npos);
  EXPECT_NE(head.find(":root{--qy-1:"), std::string::npos);
}

TEST(DarkContext, HeadBlockListsVariablesAndMarkersInNumberOrder) {
  DarkContext dark = context("on");
  dark.rewriteTag(R"~(<td bgcolor="#fff" style="color:#333;border-color:#ccc">)~", "td");
  dark.rewriteTag(R"~(<font color="#000">)~", "font");
  EXPECT_EQ(dark.headBlock(),
            R"~(<meta name="color-scheme" content="dark"><meta name="supported-color-schemes" content="dark">)~"
            R"~(<style data-qy-dark>:root{color-scheme:dark !important})~"
            R"~(:root{--qy-1:#c6c6c6;--qy-2:#4c4c4c})~"
            R"~(:where(html){background-color:#1e1e1e;color:#e0e0e0}:where(a:link){color:#80b4f8}:where(a:visited){color:#ac92d9})~"
            R"~(:where([data-qyb="1"]){background-color:#1e1e1e})~"
            R"~(:where([data-qyc="1"]){color:#e0e0e0})~"
            R"~(</style>)~");
}

// Hostile inputs must stay linear: each of these takes a few milliseconds when they do.
TEST(DarkContext, HostileInputsAreCopiedUnchanged) {
  const size_t kSize = 1 << 20;
  DarkContext dark = context();
  std::string urls = "background:";
  while (urls.size() < kSize) urls += "url(";
  EXPECT_EQ(dark.rewriteDeclarations(urls), urls);
  std::string rgbs = "color:";
  while (rgbs.size() < kSize) rgbs += "rgb(";
  EXPECT_EQ(dark.rewriteDeclarations(rgbs), rgbs);
  std::string parens = "color:" + std::string(kSize, '(') + std::string(kSize, ')');
  EXPECT_EQ(dark.rewriteDeclarations(parens), parens);
  std::string braces(kSize, '{');
  EXPECT_EQ(dark.rewriteStylesheet(braces), braces);
  std::string word = "color:" + std::string(kSize, 'a');
  EXPECT_EQ(dark.rewriteDeclarations(word), word);
  std::string tag = "<div " + std::string(kSize, '"') + " style=\"" + std::string(kSize, '\'');
  EXPECT_EQ(dark.rewriteTag(tag, "div"), tag);
  std::string attrs = "<div";
  while (attrs.size() < kSize) attrs += " style";
  EXPECT_EQ(dark.rewriteTag(attrs, "div"), attrs);
  EXPECT_TRUE(dark.variableValues().empty());
}

}  // namespace
}  // namespace qy
