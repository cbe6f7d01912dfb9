// The document every host shows for a decoded message: which part, its charset, plain text made
// safe HTML, inline images as data: URLs within one budget, and what is taken out so that nothing
// can take the frame elsewhere or reach the sender.
#include "core/doc/display_document.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "core/doc/frame_html.h"
#include "core/mime/mime.h"

namespace qy {
namespace {

ByteView bytesOf(std::string_view text) { return {reinterpret_cast<const uint8_t*>(text.data()), text.size()}; }

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

TEST(DisplayDocument, PlainTextIsEscapedAndDecodedFromItsCharset) {
  const DisplayDocument document = displayDocument(bytesOf(
      "Content-Type: text/plain; charset=iso-8859-1\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
      "caf=E9 <b>&</b> \"x\"\r\n"));
  EXPECT_TRUE(document.hasBody);
  EXPECT_TRUE(document.plain);
  EXPECT_TRUE(contains(document.html, "<pre>caf\xc3\xa9 &lt;b&gt;&amp;&lt;/b&gt; \"x\"")) << document.html;
}

TEST(DisplayDocument, HTMLPartWinsAndItsCitedImagesBecomeDataURLs) {
  const std::string message =
      "Content-Type: multipart/related; boundary=R\r\n\r\n"
      "--R\r\n"
      "Content-Type: multipart/alternative; boundary=A\r\n\r\n"
      "--A\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
      "--A\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
      "<p>你好</p><img src=\"cid:logo@x\"><img src=\"cid:gone@x\">\r\n"
      "--A--\r\n"
      "--R\r\nContent-Type: image/png\r\nContent-ID: <logo@x>\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\niVBORw==\r\n"
      "--R\r\nContent-Type: image/png\r\nContent-ID: <unused@x>\r\n\r\nxx\r\n"
      "--R\r\nContent-Type: text/plain\r\nContent-ID: <note@x>\r\n\r\nnot an image\r\n"
      "--R--\r\n";
  const auto root = MIME::parse(bytesOf(message));
  const DisplayDocument document = displayDocument(bytesOf(message), *root);
  EXPECT_FALSE(document.plain);
  EXPECT_TRUE(contains(document.html, "<p>你好</p>")) << document.html;
  EXPECT_TRUE(contains(document.html, "src=\"data:image/png;base64,iVBORw==\"")) << document.html;
  EXPECT_TRUE(contains(document.html, "src=\"cid:gone@x\"")) << "an unknown id stays as it is";
  EXPECT_FALSE(contains(document.html, "plain"));
  ASSERT_EQ(document.inlined.size(), 1u) << "only the image the body shows";
  EXPECT_EQ(document.inlined[0]->field("content-id"), "<logo@x>");
  EXPECT_EQ(document.body->type(), "text/html");
}

TEST(DisplayDocument, NothingForAMessageWithoutATextBody) {
  for (std::string_view message : {std::string_view("Content-Type: image/png\r\n\r\nxx"),
                                   std::string_view("Content-Type: text/plain\r\n"
                                                    "Content-Disposition: attachment\r\n\r\nx")}) {
    const DisplayDocument document = displayDocument(bytesOf(message));
    EXPECT_FALSE(document.hasBody);
    EXPECT_EQ(document.html, "");
  }
}

// Three images just over half the budget each: one the body does not show, then two it does.
// Only the shown ones spend the budget, and it holds for the whole document, not each image.
TEST(DisplayDocument, InlineImagesShareOneBudget) {
  // Just over half the budget, in whole Base64 groups ("AAAA" is three zero bytes).
  const size_t groups = kMaxInlineImageBytes / 2 / 3 + 1;
  const std::string zeros(groups * 4, 'A');
  std::string message =
      "Content-Type: multipart/related; boundary=R\r\n\r\n"
      "--R\r\nContent-Type: text/html\r\n\r\n<img src=\"cid:b\"><img src=\"cid:c\">\r\n";
  for (std::string_view id : {"a", "b", "c"}) {
    message += "--R\r\nContent-Type: image/png\r\nContent-ID: <" + std::string(id) +
               ">\r\nContent-Transfer-Encoding: base64\r\n\r\n" + zeros + "\r\n";
  }
  message += "--R--\r\n";
  const auto root = MIME::parse(bytesOf(message));
  const DisplayDocument document = displayDocument(bytesOf(message), *root);
  ASSERT_EQ(document.inlined.size(), 1u);
  EXPECT_EQ(document.inlined[0]->field("content-id"), "<b>");
  EXPECT_FALSE(contains(document.html, "cid:b"));
  EXPECT_TRUE(contains(document.html, "<img src=\"cid:c\">")) << "past the budget the reference stays";
  EXPECT_LT(document.html.size(), kMaxInlineImageBytes);
}

TEST(FrameHtml, NothingCanTakeTheFrameElsewhere) {
  struct Case { std::string_view name, input, want; size_t remote; };
  const Case kCases[] = {
      {"base element dropped", "<base href=\"https://evil/\"><a href=x>y</a>",
       "<base target=\"_blank\"><a href=x>y</a>", 0},
      {"meta refresh dropped, other meta kept",
       "<meta http-equiv=\" Refresh \" content=\"0;url=https://evil/\"><meta charset=utf-8>",
       "<base target=\"_blank\"><meta charset=utf-8>", 0},
      {"frames and plugins dropped", "<p>a<iframe src=\"https://x/\">b</iframe><object data=y>c</object></p>",
       "<base target=\"_blank\"><p>ac</p>", 0},
      {"fetch-ahead links dropped, style sheet kept",
       "<link rel=prefetch href=\"http://x/\"><link REL=\" StyleSheet \" href=s.css><link rel=dns-prefetch "
       "href=//y><link href=z><link rel=\"preload stylesheet\" href=w>",
       "<base target=\"_blank\"><link REL=\" StyleSheet \" href=s.css>", 0},
      {"link targets dropped", "<a target=_top href=\"https://x/\">x</a><area TARGET='_self' href=y>",
       "<base target=\"_blank\"><a href=\"https://x/\">x</a><area href=y>", 0},
      {"form action dropped", "<form action=\"https://evil/\" method=post>",
       "<base target=\"_blank\"><form method=post>", 0},
      {"doctype stays first", "<!DOCTYPE html><p>x", "<!DOCTYPE html><base target=\"_blank\"><p>x", 0},
      {"remote images counted",
       "<img src=\"//cdn/x\"><td background=\"http://a/b\"><div style=\"background:url( 'https://c/d')\">"
       "<style>p{background:url(http://e/f)}</style><img src=\"data:image/gif;base64,R0\">",
       "<base target=\"_blank\"><img src=\"//cdn/x\"><td background=\"http://a/b\"><div "
       "style=\"background:url( 'https://c/d')\"><style>p{background:url(http://e/f)}</style><img "
       "src=\"data:image/gif;base64,R0\">",
       4},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const FrameHtml got = prepareFrameHtml(c.input);
    EXPECT_EQ(got.html, c.want);
    EXPECT_EQ(got.remoteImages, c.remote);
  }
}

TEST(FrameHtml, CidReferencesEscapedOrNotBecomeData) {
  const std::string html = "<img src=\"cid:a%20b@x\"><p style=\"background:url(CID:a%20b@x)\">cid:unknown</p>";
  const FrameHtml got = prepareFrameHtml(html, {.byContentId = {{"a b@x", "data:image/png;base64,AA=="}}, .byLocation = {}});
  EXPECT_EQ(got.html,
            "<base target=\"_blank\"><img src=\"data:image/png;base64,AA==\">"
            "<p style=\"background:url(data:image/png;base64,AA==)\">cid:unknown</p>");
  EXPECT_EQ(citedContentIds(html), (std::set<std::string>{"a b@x", "a%20b@x", "unknown"}));
}

}  // namespace
}  // namespace qy
