// The reader's view of a message: header block, body choice, inline images, attachments, and
// the frame document's colour scheme.
#include "hosts/reader/message_view.h"

#include <gtest/gtest.h>

#include "hosts/reader/color_scheme.h"

namespace qy::reader {
namespace {

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

// A related HTML body with one inline image, a plain alternative and two attachments.
constexpr std::string_view kMixed =
    "From: =?utf-8?B?5byg5LiJ?= <zs@example.cn>\n"
    "To: you@example.com\n"
    "Subject: =?utf-8?Q?Bericht_=C3=BCber?= Q4\n"
    "Date: Thu, 10 Dec 2026 09:30:00 +0100\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=outer\n\n"
    "--outer\n"
    "Content-Type: multipart/alternative; boundary=alt\n\n"
    "--alt\n"
    "Content-Type: text/plain; charset=utf-8\n\n"
    "plain version\n"
    "--alt\n"
    "Content-Type: multipart/related; boundary=rel\n\n"
    "--rel\n"
    "Content-Type: text/html; charset=iso-8859-1\n"
    "Content-Transfer-Encoding: quoted-printable\n\n"
    "<p>Gr=FC=DFe</p><img src=3D\"cid:logo@x\"><img src=3D\"https://tracker.example/p.gif\">\n"
    "--rel\n"
    "Content-Type: image/png\n"
    "Content-ID: <logo@x>\n"
    "Content-Transfer-Encoding: base64\n\n"
    "iVBORw0=\n"
    "--rel--\n"
    "--alt--\n"
    "--outer\n"
    "Content-Type: application/pdf; name=\"ignored.pdf\"\n"
    "Content-Disposition: attachment; filename*=utf-8''%E6%8A%A5%E5%91%8A.pdf\n"
    "Content-Transfer-Encoding: base64\n\n"
    "AAECAwQ=\n"
    "--outer\n"
    "Content-Type: text/plain; name=\"=?utf-8?B?56yU6K6w?=.txt\"\n\n"
    "notes\n"
    "--outer--\n";

TEST(MessageView, HeaderBodyInlineImagesAndAttachments) {
  const MessageView view = buildMessageView(kMixed);
  EXPECT_EQ(view.from, "张三 <zs@example.cn>");
  EXPECT_EQ(view.to, "you@example.com");
  EXPECT_EQ(view.subject, "Bericht über Q4");
  EXPECT_EQ(view.date, "Thu, 10 Dec 2026 09:30:00 +0100");
  ASSERT_TRUE(view.hasBody);
  EXPECT_FALSE(view.plain);
  // The HTML alternative, decoded from quoted-printable Latin-1, not the plain one.
  EXPECT_TRUE(contains(view.frameHtml, "<p>Grüße</p>"));
  EXPECT_FALSE(contains(view.frameHtml, "plain version"));
  // The inline image is data, the remote one is left for the frame's policy to block.
  EXPECT_TRUE(contains(view.frameHtml, "src=\"data:image/png;base64,iVBORw0=\""));
  EXPECT_FALSE(contains(view.frameHtml, "cid:"));
  EXPECT_EQ(view.remoteImages, 1u);
  // The used inline image is no attachment; the RFC 2231 and RFC 2047 names are decoded.
  ASSERT_EQ(view.attachments.size(), 2u);
  EXPECT_EQ(view.attachments[0], (Attachment{"报告.pdf", "application/pdf", 5}));
  EXPECT_EQ(view.attachments[1], (Attachment{"笔记.txt", "text/plain", 5}));
  const auto json = toJson(view);
  EXPECT_EQ(json["attachments"][0]["name"], "报告.pdf");
  EXPECT_FALSE(json.contains("frameHtml"));
}

TEST(MessageView, AttachmentBytesFollowTheListIncludingUuencodedFiles) {
  const auto pdf = attachmentContent(kMixed, 0);
  ASSERT_TRUE(pdf);
  EXPECT_EQ(pdf->attachment.name, "报告.pdf");
  EXPECT_EQ(pdf->data, (Bytes{0, 1, 2, 3, 4}));
  EXPECT_EQ(attachmentContent(kMixed, 1)->data, (Bytes{'n', 'o', 't', 'e', 's'}));
  EXPECT_FALSE(attachmentContent(kMixed, 2));

  // "Cat" uuencoded by uudecode's own format, inside a plain-text body.
  const std::string uu = "Subject: old\n\nHere is the file.\n\nbegin 644 cat.txt\n#0V%T\n`\nend\nBye.\n";
  const MessageView view = buildMessageView(uu);
  ASSERT_EQ(view.attachments.size(), 1u);
  EXPECT_EQ(view.attachments[0], (Attachment{"cat.txt", "application/octet-stream", 3}));
  EXPECT_EQ(attachmentContent(uu, 0)->data, (Bytes{'C', 'a', 't'}));
}

TEST(MessageView, PlainBodyIsEscapedAndMessagesWithoutTextHaveNone) {
  const MessageView plain = buildMessageView("Subject: s\n\n<script>alert(1)</script>\nline two\n");
  EXPECT_TRUE(plain.plain);
  EXPECT_TRUE(contains(plain.frameHtml, "&lt;script&gt;alert(1)&lt;/script&gt;\nline two"));
  EXPECT_FALSE(contains(plain.frameHtml, "<script>"));

  const MessageView none = buildMessageView(
      "Content-Type: image/gif\nContent-Transfer-Encoding: base64\n\nR0lGODlh\n");
  EXPECT_FALSE(none.hasBody);
  ASSERT_EQ(none.attachments.size(), 1u);
  EXPECT_EQ(none.attachments[0], (Attachment{"附件 1", "image/gif", 6}));
  EXPECT_FALSE(buildMessageView("").hasBody);
}

TEST(MessageView, UnencodedHeaderBytesReadInTheCharsetOfTheText) {
  // The subject and sender name in Big5 bytes, as some senders write them; the charset is
  // declared only on the text part.
  const MessageView view = buildMessageView(
      "From: \xb1\x69\xa4\x54 <zs@example.tw>\nSubject: \xa4\xa4\xa4\xe5\n"
      "Content-Type: multipart/mixed; boundary=b\n\n"
      "--b\nContent-Type: text/html; charset=big5\n\n<p>\xa4\xa4\xa4\xe5</p>\n--b--\n");
  EXPECT_EQ(view.subject, "中文");
  EXPECT_EQ(view.from, "張三 <zs@example.tw>");
  EXPECT_TRUE(contains(view.frameHtml, "<p>中文</p>"));
}

TEST(MessageView, ImagesNamedByTheirLocationShowInline) {
  // A web page saved as mail: the image part is named by Content-Location, not Content-ID.
  const MessageView view = buildMessageView(
      "Content-Type: multipart/related; boundary=r\n\n"
      "--r\nContent-Type: image/png\nContent-Location: image1\nContent-Transfer-Encoding: base64\n\niVBORw0=\n"
      "--r\nContent-Location: http://example.com/logo.png\nContent-Type: image/gif\n"
      "Content-Transfer-Encoding: base64\n\nR0lGODlh\n"
      "--r\nContent-Type: text/html; charset=utf-8\n\n"
      "<p><img alt=one src=\"image1\" width=1><img src='http://example.com/logo.png'><img src=\"image10\"></p>\n--r--\n");
  EXPECT_TRUE(contains(view.frameHtml, "<img alt=one src=\"data:image/png;base64,iVBORw0=\" width=1>"));
  EXPECT_TRUE(contains(view.frameHtml, "<img src=\"data:image/gif;base64,R0lGODlh\">"));
  EXPECT_TRUE(contains(view.frameHtml, "src=\"image10\""));
  // The image that had a remote location is the message's own, not a remote load.
  EXPECT_EQ(view.remoteImages, 0u);
  EXPECT_TRUE(view.attachments.empty());
}

TEST(ColorScheme, ChosenColourSchemeDecidesMediaConditions) {
  const std::string html = "<style>@media ( prefers-color-scheme : dark ){a{b:c}}"
                           "@media screen and (PREFERS-COLOR-SCHEME:light){d{e:f}}"
                           "@media (prefers-color-scheme){g{h:i}}</style>";
  EXPECT_EQ(withColorScheme(html, true),
            "<style>@media (color){a{b:c}}@media screen and (not (color)){d{e:f}}"
            "@media (prefers-color-scheme){g{h:i}}</style><style>:root{color-scheme:dark !important}</style>");
  EXPECT_EQ(withColorScheme(html, false),
            "<style>@media (not (color)){a{b:c}}@media screen and (color){d{e:f}}"
            "@media (prefers-color-scheme){g{h:i}}</style><style>:root{color-scheme:light !important}</style>");
}

}  // namespace
}  // namespace qy::reader
