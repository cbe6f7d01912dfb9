// Choosing the text part and removing transfer encodings.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/mime_test_util.h"

namespace qy {
namespace {

using mimetest::bytes;
using mimetest::text;
using mimetest::view;

// The chosen part as "type[body)", or "none".
std::string chosen(const std::string& message) {
  auto root = MIME::parse(view(message));
  const MIMEPart* part = MIME::findTextPart(*root);
  if (part == nullptr) return "none";
  return part->type() + " " + text(part->bodyRange().of(view(message)));
}

std::string multipart(const std::string& type, const std::vector<std::string>& parts) {
  std::string out = "Content-Type: " + type + "; boundary=zz\n\n";
  for (const auto& p : parts) out += "--zz\n" + p + "\n";
  return out + "--zz--\n";
}

TEST(MIMEFind, HTMLWinsAndAttachmentsAndForwardedMessagesAreSkipped) {
  const std::string plain = "Content-Type: text/plain\n\nPLAIN";
  const std::string html = "Content-Type: text/html\n\nHTML";
  const std::string attachedHTML =
      "Content-Type: text/html\nContent-Disposition: Attachment; filename=a.html\n\nATT";
  const std::string inlineHTML = "Content-Type: text/html\nContent-Disposition: inline\n\nINL";
  const std::string emptyHTML = "Content-Type: text/html\n\n";
  const std::string forwarded = "Content-Type: message/rfc822\n\nContent-Type: text/html\n\nFWD";
  struct Case { const char* name; std::string message, want; };
  const Case kCases[] = {
      {"alternative picks HTML second", multipart("multipart/alternative", {plain, html}),
       "text/html HTML"},
      {"HTML anywhere beats plain first",
       multipart("multipart/mixed", {plain, multipart("multipart/related", {html})}),
       "text/html HTML"},
      {"attached HTML falls back to plain",
       multipart("multipart/mixed", {attachedHTML, plain}), "text/plain PLAIN"},
      {"only an attachment: nothing", multipart("multipart/mixed", {attachedHTML}), "none"},
      {"inline HTML is eligible", multipart("multipart/mixed", {plain, inlineHTML}),
       "text/html INL"},
      {"empty HTML is skipped", multipart("multipart/mixed", {emptyHTML, html}),
       "text/html HTML"},
      {"forwarded message is never searched", multipart("multipart/mixed", {forwarded, plain}),
       "text/plain PLAIN"},
      {"a bare body without header is plain text", "hello", "text/plain hello"},
      {"empty message: nothing", "", "none"},
      {"an unsplit multipart is not text", "Content-Type: multipart/mixed\n\n<p>x", "none"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(chosen(c.message), c.want);
  }
}

TEST(MIMEDecode, Base64SkipsStrayBytesAndToleratesDamage) {
  struct Case { const char* name; std::string input, want; };
  const Case kCases[] = {
      {"clean", "aGVsbG8gd29ybGQ=", "hello world"},
      {"line breaks and spaces between groups", "aGVs\r\nbG8g\n d29y bGQ=\r\n", "hello world"},
      {"garbage bytes skipped", "aG*Vs!bG\x80" "8=", "hello"},
      {"missing fill accepted (two and three left)", "aGk", "hi"},
      {"missing fill, one byte", "aA", "h"},
      {"lone final character dropped", "aGVsbG8gV", "hello "},
      {"stops at the first '='", "aGk=aGk=", "hi"},
      {"wrong fill", "aGk===", "hi"},
      {"only garbage", "!!!\n", ""},
      {"empty", "", ""},
      {"NUL bytes are skipped", std::string("aG\0k", 4), "hi"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(text(MIME::decodeBase64(view(c.input))), c.want);
  }
}

TEST(MIMEDecode, Base64RoundTripsThroughTheRebuildEncoder) {
  std::mt19937 rng(7);
  for (size_t size : {0u, 1u, 2u, 3u, 56u, 57u, 58u, 1000u, 100'000u}) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (auto& ch : data) ch = static_cast<char>(rng() & 0xFF);
    for (std::string_view eol : {"\n", "\r\n"}) {
      Bytes encoded;
      MIME::appendBase64Lines(encoded, data, eol);
      EXPECT_EQ(encoded.size(), MIME::base64LinesSize(size, eol.size()));
      EXPECT_EQ(text(MIME::decodeBase64(encoded)), data);
    }
  }
}

TEST(MIMEDecode, QuotedPrintableFollowsItsFourRules) {
  struct Case { const char* name; std::string input, want; };
  const Case kCases[] = {
      {"escape either case", "=3D=3d=c3=A9", "==\xC3\xA9"},
      {"soft break with LF", "a=\nb", "ab"},
      {"soft break with CR LF", "a=\r\nb", "ab"},
      {"bad escape kept", "=G1", "=G1"},
      {"one hex digit then other", "=4x", "=4x"},
      {"'=' then CR without LF", "=\rA", "=\rA"},
      {"'=' at the very end", "a=", "a="},
      {"'=' and one byte at the end", "a=4", "a=4"},
      {"'=' CR at the end", "a=\r", "a=\r"},
      {"'=' LF at the end", "a=\n", "a"},
      {"blanks before a break stay", "a \t\nb", "a \t\nb"},
      {"'=' then blanks is not a soft break", "a= \nb", "a= \nb"},
      {"escape cut off after an escape", "=41=", "A="},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(text(MIME::decodeQuotedPrintable(view(c.input))), c.want);
  }
}

TEST(MIMEDecode, BodyDecodingFollowsTheTransferEncoding) {
  struct Case { const char* name; std::string message, want; };
  const Case kCases[] = {
      {"base64", "Content-Transfer-Encoding: BASE64\n\naGk=\n", "hi"},
      {"quoted-printable", "Content-Transfer-Encoding: quoted-printable\n\na=3Db=\n", "a=b"},
      {"8bit unchanged", "Content-Transfer-Encoding: 8bit\n\n\xC3\xA9=3D\n", "\xC3\xA9=3D\n"},
      {"unknown unchanged", "Content-Transfer-Encoding: x-uuencode\n\naGk=", "aGk="},
      {"base64 with parameters is not base64", "Content-Transfer-Encoding: base64; x\n\naGk=",
       "aGk="},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto root = MIME::parse(view(c.message));
    EXPECT_EQ(text(MIME::decodeBody(view(c.message), *root)), c.want);
  }
}

TEST(MIMECharset, NamesResolveThroughAliasesAndTheIANARegistry) {
  struct Case { const char* name; std::optional<std::string> charset; std::optional<std::string> want; };
  const Case kCases[] = {
      {"no name", std::nullopt, std::nullopt},
      {"empty", "", std::nullopt},
      {"blanks only", " \t", std::nullopt},
      {"GB2312 any case with blanks", " Gb2312\t", "gb18030"},
      {"gbk", "GBK", "gb18030"},
      {"x-gbk", "x-gbk", "gb18030"},
      {"gb_2312-80", "GB_2312-80", "gb18030"},
      {"utf-8", "UTF-8", "UTF-8"},
      {"latin1 alias", "latin1", "ISO-8859-1"},
      {"unknown", "x-no-such-charset", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto encoding = MIME::stringEncoding(c.charset);
    if (!c.want) {
      EXPECT_EQ(encoding, std::nullopt);
    } else {
      ASSERT_TRUE(encoding);
      EXPECT_EQ(encoding->name, *c.want);
    }
  }
  // Common mail charsets all resolve.
  for (const char* name : {"windows-1252", "iso-8859-15", "shift_jis", "iso-2022-jp", "euc-kr",
                           "ks_c_5601-1987", "big5", "koi8-r", "windows-1251", "us-ascii",
                           "utf-16", "euc-jp", "gb18030", "cp1252", "windows-874", "x-mac-roman",
                           "sjis", "cp932", "unicode-1-1-utf-7"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(MIME::stringEncoding(std::string_view(name)));
  }
}

std::string padding(size_t n) { return std::string(n, ' '); }

TEST(MIMECharset, DeclaredCharsetWinsThenSniffedHTMLThenUTF8) {
  const std::string meta1252 = "<meta charset=\"windows-1252\">";
  struct Case {
    const char* name;
    std::string body;
    std::optional<std::string> charset;
    bool isHTML;
    std::string want;
  };
  const Case kCases[] = {
      {"GB2312 label with GBK bytes", "\xD6\xD0\x81\x40", " GB2312 ", false, "中丂"},
      {"declared windows-1252", "caf\xE9", "windows-1252", false, "caf\xC3\xA9"},
      {"declared shift_jis", "\x83\x65\x83\x58\x83\x67", "Shift_JIS", false, "テスト"},
      {"declared iso-2022-jp", "\x1B$BF|K\\\x1B(B", "iso-2022-jp", false, "日本"},
      {"declared ks_c_5601-1987", "\xC7\xD1\xB1\xB9", "ks_c_5601-1987", false, "한국"},
      {"declared cp1252, known only as an alias", "caf\xE9 \x80", "cp1252", false,
       "caf\xC3\xA9 \xE2\x82\xAC"},
      {"declared windows-874", "\xA1\xD2", "windows-874", false, "\xE0\xB8\x81\xE0\xB8\xB2"},
      {"declared wins over meta", "\xC3\xA9" + meta1252, "utf-8", true, "\xC3\xA9" + meta1252},
      {"invalid in declared falls back to UTF-8", "\xC3\xA9", "us-ascii", false, "\xC3\xA9"},
      {"invalid in declared and UTF-8 is repaired", "a\xFF", "us-ascii", false, "a\xEF\xBF\xBD"},
      {"sniffed for HTML without a charset", meta1252 + "\xE9", std::nullopt, true,
       meta1252 + "\xC3\xA9"},
      {"sniffed when the declared one is unknown", meta1252 + "\xE9", "x-bogus", true,
       meta1252 + "\xC3\xA9"},
      {"sniffed from a content attribute, any case",
       "<META content='text/html; CHARSET = \"ISO-8859-1\"'>\xE9", std::nullopt, true,
       "<META content='text/html; CHARSET = \"ISO-8859-1\"'>\xC3\xA9"},
      {"sniffed inside the first 4096 bytes", padding(4096 - meta1252.size()) + meta1252 + "\xE9",
       std::nullopt, true, padding(4096 - meta1252.size()) + meta1252 + "\xC3\xA9"},
      {"not seen after 4096 bytes", padding(4090) + meta1252 + "\xE9", std::nullopt, true,
       padding(4090) + meta1252 + "\xEF\xBF\xBD"},
      {"never sniffed for plain text", meta1252 + "\xE9", std::nullopt, false,
       meta1252 + "\xEF\xBF\xBD"},
      {"sniffed name unknown falls to UTF-8", "<meta charset=nope>\xC3\xA9", std::nullopt, true,
       "<meta charset=nope>\xC3\xA9"},
      {"UTF-16 with an odd byte falls back", std::string("a\0b", 3), "utf-16le", false,
       std::string("a\0b", 3)},
      {"declared UTF-8 valid after a long ASCII run", std::string(20, 'a') + "\xE4\xB8\xAD",
       "utf-8", false, std::string(20, 'a') + "\xE4\xB8\xAD"},
      {"declared UTF-8 cut off after a long ASCII run", std::string(20, 'a') + "\xE4\xB8",
       "utf-8", false, std::string(20, 'a') + "\xEF\xBF\xBD"},
      {"empty body", "", "utf-8", true, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string_view> charset;
    if (c.charset) charset = *c.charset;
    EXPECT_EQ(MIME::decodeString(view(c.body), charset, c.isHTML), c.want);
  }
}

TEST(MIMECharset, LongBodiesDecodeAcrossConverterChunks) {
  // Four-byte GB18030 sequences (outside the BMP) across many internal chunks.
  std::string body, want;
  for (int i = 0; i < 20'000; ++i) {
    body += "a\x95\x32\x82\x36";  // 'a' U+20000
    want += "a\xF0\xA0\x80\x80";
  }
  EXPECT_EQ(MIME::decodeString(view(body), "gb18030", false), want);
}

}  // namespace
}  // namespace qy
