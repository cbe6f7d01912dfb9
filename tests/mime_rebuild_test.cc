// Rebuilding a message around a new HTML body: exact bytes for root and nested parts.
#include <gtest/gtest.h>

#include <string>

#include "support/mime_test_util.h"

namespace qy {
namespace {

using mimetest::text;
using mimetest::view;

const char kHTML[] = "<p>Hi</p>";
const char kBase64[] = "PHA+SGk8L3A+";

// Replaces the chosen text part of `message` (or its root, when none is eligible) with `html`.
std::string rebuildTextPart(const std::string& message, std::string_view html = kHTML) {
  auto root = MIME::parse(view(message));
  const MIMEPart* part = MIME::findTextPart(*root);
  if (part == nullptr) part = root.get();
  return text(MIME::replacing(view(message), *part, part == root.get(), html));
}

TEST(MIMERebuild, RootPartsGetExactlyTheNewHeaderAndBody) {
  struct Case { const char* name; std::string message, want; };
  const Case kCases[] = {
      {"LF message without MIME-Version",
       "From: a@b\nSubject: Hi\nContent-Type: text/plain; charset=us-ascii\n"
       "Content-Transfer-Encoding: 7bit\n\nHello\n",
       std::string("From: a@b\nSubject: Hi\nMIME-Version: 1.0\n"
                   "Content-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: base64\n\n") +
           kBase64 + "\n"},
      {"CRLF message",
       "From: a@b\r\nContent-Type: text/plain\r\n\r\nHello\r\n",
       std::string("From: a@b\r\nMIME-Version: 1.0\r\nContent-Type: text/html; charset=utf-8\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\n") +
           kBase64 + "\r\n"},
      {"a CR in the body makes the new lines CRLF, kept lines stay as they were",
       "From: a@b\nContent-Type: text/plain\n\nHello\r\n",
       std::string("From: a@b\nMIME-Version: 1.0\r\nContent-Type: text/html; charset=utf-8\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\n") +
           kBase64 + "\r\n"},
      {"a CR only after 4000 bytes is not seen",
       "From: a@b\n\n" + std::string(4000, 'x') + "\r\n",
       std::string("From: a@b\nMIME-Version: 1.0\nContent-Type: text/html; charset=utf-8\n"
                   "Content-Transfer-Encoding: base64\n\n") +
           kBase64 + "\n"},
      {"existing MIME-Version kept in place, folding and order kept, no second one",
       "Mime-Version: 1.0\n (generated)\nContent-Type: text/plain\nContent-type: text/html\n"
       "X-A: 1\n\tcont\nContent-Transfer-Encoding: 8bit\nX-B: 2\n\nbody",
       std::string("Mime-Version: 1.0\n (generated)\nX-A: 1\n\tcont\nX-B: 2\n"
                   "Content-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: base64\n\n") +
           kBase64 + "\n"},
      {"last field without LF gets one",
       "Subject: x",
       std::string("Subject: x\nMIME-Version: 1.0\nContent-Type: text/html; charset=utf-8\n"
                   "Content-Transfer-Encoding: base64\n\n") +
           kBase64 + "\n"},
      {"a header ended by a non-field line drops that body",
       "A: 1\nnot a field\n",
       std::string("A: 1\nMIME-Version: 1.0\nContent-Type: text/html; charset=utf-8\n"
                   "Content-Transfer-Encoding: base64\n\n") +
           kBase64 + "\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(rebuildTextPart(c.message), c.want);
  }
}

TEST(MIMERebuild, NestedPartsKeepEverythingAroundThem) {
  const std::string before =
      "MIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=\"b\"\n\npreamble\n"
      "--b\nContent-Type: text/plain\n\nplain stays\n--b\n";
  const std::string after = "\n--b--\nepilogue\n";
  const std::string message = before +
                              "Content-ID: <x@y>\nContent-Type: text/html; charset=latin1\n"
                              "Content-Disposition: inline\nContent-Transfer-Encoding: QP\n\n"
                              "<p>old=3D</p>" +
                              after;
  const std::string want = before +
                           "Content-ID: <x@y>\nContent-Disposition: inline\n"
                           "Content-Type: text/html; charset=utf-8\n"
                           "Content-Transfer-Encoding: base64\n\n" +
                           kBase64 + after;
  EXPECT_EQ(rebuildTextPart(message), want);

  // The same in CRLF.
  auto crlf = [](std::string s) {
    std::string out;
    for (char ch : s) {
      if (ch == '\n') out += '\r';
      out += ch;
    }
    return out;
  };
  EXPECT_EQ(rebuildTextPart(crlf(message)), crlf(want));

  // A child without header lines: the new lines start right after the delimiter line.
  const std::string bare = "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nold\n--b--\n";
  EXPECT_EQ(rebuildTextPart(bare),
            std::string("Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                        "Content-Type: text/html; charset=utf-8\n"
                        "Content-Transfer-Encoding: base64\n\n") +
                kBase64 + "\n--b--\n");
}

TEST(MIMERebuild, Base64BodyIsCutIntoLinesOf76) {
  const std::string html = "<p>" + std::string(100, 'x') + "</p>";
  const std::string want =
      "PHA+eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4\r\n"
      "eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eDwvcD4=";
  const std::string out = rebuildTextPart("A: 1\r\n\r\nx", html);
  EXPECT_EQ(out.substr(out.find("\r\n\r\n") + 4), want + "\r\n");

  // 57 bytes make exactly one full line, with no terminator inside it.
  std::string fullLine;
  for (int i = 0; i < 19; ++i) fullLine += "YWFh";
  EXPECT_TRUE(rebuildTextPart("A: 1\n\nx", std::string(57, 'a')).ends_with("base64\n\n" + fullLine + "\n"));
  const std::string empty = rebuildTextPart("A: 1\n\nx", "");
  EXPECT_TRUE(empty.ends_with("base64\n\n\n")) << empty;
}

TEST(MIMERebuild, RebuiltMessageParsesBackToTheNewHTML) {
  const std::string html = "<p>caf\xC3\xA9 " + std::string(300, 'z') + "</p>";
  for (const char* eol : {"\n", "\r\n"}) {
    SCOPED_TRACE(eol);
    const std::string e = eol;
    const std::string message = "Content-Type: multipart/alternative; boundary=q" + e + e +
                                "--q" + e + "Content-Type: text/plain" + e + e + "p" + e +
                                "--q" + e + "Content-Type: text/html" + e + e + "<p>h</p>" + e +
                                "--q--" + e;
    const std::string rebuilt = rebuildTextPart(message, html);
    auto root = MIME::parse(view(rebuilt));
    ASSERT_EQ(root->children().size(), 2u);
    EXPECT_EQ(text(root->children()[0]->bodyRange().of(view(rebuilt))), "p");
    const MIMEPart* part = MIME::findTextPart(*root);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->type(), "text/html");
    EXPECT_EQ(part->params().at("charset"), "utf-8");
    const Bytes body = MIME::decodeBody(view(rebuilt), *part);
    EXPECT_EQ(MIME::decodeString(body, part->params().at("charset"), true), html);
  }
}

}  // namespace
}  // namespace qy
