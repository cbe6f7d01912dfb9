// The body shown in place of the mail client's rendering: which part, its charset, plain text
// made safe HTML, inline images carried as data: URLs.
#include "extension/display_body.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace qy {
namespace {

std::optional<std::string> shown(std::string_view message) {
  return displayBody(ByteView(reinterpret_cast<const uint8_t*>(message.data()), message.size()));
}

TEST(DisplayBody, PlainTextIsEscapedAndDecodedFromItsCharset) {
  const auto html = shown(
      "Content-Type: text/plain; charset=iso-8859-1\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
      "caf=E9 <b>&</b> \"x\"\r\n");
  ASSERT_TRUE(html.has_value());
  EXPECT_NE(html->find("<pre"), std::string::npos);
  EXPECT_NE(html->find("café &lt;b&gt;&amp;&lt;/b&gt; &quot;x&quot;"), std::string::npos) << *html;
}

TEST(DisplayBody, HTMLPartWinsAndItsInlineImagesBecomeDataURLs) {
  const auto html = shown(
      "Content-Type: multipart/related; boundary=R\r\n\r\n"
      "--R\r\n"
      "Content-Type: multipart/alternative; boundary=A\r\n\r\n"
      "--A\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
      "--A\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
      "<p>你好</p><img src=\"cid:logo@x\"><img src=\"cid:gone@x\">\r\n"
      "--A--\r\n"
      "--R\r\nContent-Type: image/png\r\nContent-ID: <logo@x>\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\niVBORw==\r\n"
      "--R\r\nContent-Type: text/plain\r\nContent-ID: <note@x>\r\n\r\nnot an image\r\n"
      "--R--\r\n");
  ASSERT_TRUE(html.has_value());
  EXPECT_NE(html->find("<p>你好</p>"), std::string::npos) << *html;
  EXPECT_NE(html->find("src=\"data:image/png;base64,iVBORw==\""), std::string::npos) << *html;
  EXPECT_NE(html->find("src=\"cid:gone@x\""), std::string::npos) << "an unknown id stays as it is";
  EXPECT_EQ(html->find("plain"), std::string::npos);
}

TEST(DisplayBody, NothingForAMessageWithoutATextBody) {
  EXPECT_FALSE(shown("Content-Type: image/png\r\n\r\nxx").has_value());
  EXPECT_FALSE(shown("Content-Type: text/plain\r\nContent-Disposition: attachment\r\n\r\nx").has_value());
}

}  // namespace
}  // namespace qy
