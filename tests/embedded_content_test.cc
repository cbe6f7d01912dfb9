// Frames, plugins and refreshes taken out of a mail's HTML before it is shown.
#include "core/doc/embedded_content.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qy {
namespace {

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

TEST(EmbeddedContent, FramesPluginsAndRefreshesGoTheRestStays) {
  struct Case {
    const char* name;
    std::string input, want;
  };
  const Case kCases[] = {
      {"iframe with its content", "<p>a</p><iframe src=\"http://s.example/o\">x<b>y</b></iframe><p>b</p>",
       "<p>a</p><p>b</p>"},
      {"upper case", "<IFRAME SRC=//s.example/o></IFRAME>ok", "ok"},
      {"inside SVG foreignObject",
       "<svg><foreignObject><iframe src=//s.example/o></iframe></foreignObject></svg>",
       "<svg><foreignObject></foreignObject></svg>"},
      {"object keeps its fallback", "<object data=//s.example/o><param name=a value=b>text</object>",
       "<param name=a value=b>text"},
      {"embed, frame, frameset, applet, portal, fencedframe",
       "<embed src=//s/a><frameset><frame src=//s/b></frameset><applet code=c></applet>"
       "<portal src=//s/d></portal><fencedframe src=//s/e></fencedframe>.",
       "."},
      {"refresh", "<meta http-equiv=\"refresh\" content=\"0;url=//s.example\">x", "x"},
      {"refresh written with a character reference", "<meta http-equiv=\"&#114;efresh\" content=\"0;url=//s\">x",
       "x"},
      {"any http-equiv, any case", "<META HTTP-EQUIV='Set-Cookie' content='a=b'>x", "x"},
      {"other meta stay", "<meta charset=\"utf-8\"><meta name=\"color-scheme\" content=\"light dark\">",
       "<meta charset=\"utf-8\"><meta name=\"color-scheme\" content=\"light dark\">"},
      {"names that only begin alike", "<iframes>a</iframes><objection>b</objection>",
       "<iframes>a</iframes><objection>b</objection>"},
      // Text a browser's parser would read as a tag, whatever the tokenizer made of it.
      {"after an abrupt comment end", "<!--><iframe src=//s.example/o>-->", "<!-->&lt;iframe src=//s.example/o>-->"},
      {"after a --!> comment end", "<!-- a --!><meta http-equiv=refresh content=0>-->",
       "<!-- a --!>&lt;meta http-equiv=refresh content=0>-->"},
      {"inside an attribute value", "<img alt=\"<iframe src=x>\">", "<img alt=\"&lt;iframe src=x>\">"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string out = withoutEmbeddedContent(c.input);
    EXPECT_EQ(out, c.want);
    for (const char* tag : {"<iframe ", "<iframe>", "<object ", "<embed ", "<frame ", "<applet ", "<portal ",
                            "<meta http"})
      EXPECT_EQ(lowered(out).find(tag), std::string::npos) << tag;
  }
}

}  // namespace
}  // namespace qy
