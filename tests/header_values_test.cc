// Header values as a mail list shows them: encoded words, display names, dates, file names.
#include "core/mime/header_values.h"

#include <gtest/gtest.h>

#include "core/mime/header_words.h"
#include "core/mime/mime_parser.h"

namespace qy::MIME {
namespace {

TEST(HeaderWords, DecodeInAnyCharset) {
  struct Case { std::string_view name, input, want; };
  const Case kCases[] = {
      {"plain text untouched", "Hello there", "Hello there"},
      {"base64 utf-8", "=?UTF-8?B?5L2g5aW9?=", "你好"},
      {"q with underscore and escape", "=?iso-8859-1?Q?Caf=E9_cr=E8me?=", "Café crème"},
      {"gb2312 read as gb18030", "=?gb2312?B?xOO6ww==?=", "你好"},
      {"blanks between words dropped", "=?utf-8?Q?a?= \r\n =?utf-8?Q?b?=", "ab"},
      {"blanks next to text kept", "Re: =?utf-8?Q?caf=C3=A9?= ok", "Re: café ok"},
      {"character split across words", "=?utf-8?B?5L0=?= =?utf-8?B?oOWlvQ==?=", "你好"},
      {"language suffix ignored", "=?utf-8*zh?B?5L2g5aW9?=", "你好"},
      {"unknown charset kept as written", "=?x-nothing?Q?abc?=", "=?x-nothing?Q?abc?="},
      {"not a word", "=?utf-8?X?abc?= and =?", "=?utf-8?X?abc?= and =?"},
      {"decoded line break flattened", "=?utf-8?Q?a=0D=0Ab?=", "a  b"},
      {"invalid bytes outside words repaired", "caf\xe9", "caf\xef\xbf\xbd"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decodeHeaderWords(c.input), c.want);
  }
}

TEST(HeaderWords, DisplayNameOfFirstAddress) {
  struct Case { std::string_view input, want; };
  const Case kCases[] = {
      {"\"Zhang, San\" <zs@example.cn>, b@example.com", "Zhang, San"},
      {"Ana María <ana@example.es>", "Ana María"},
      {"<only@example.com>", "only@example.com"},
      {"bare@example.com", "bare@example.com"},
      {"\"Quote \\\"Me\\\"\" <q@example.com>", "Quote \"Me\""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(displayName(c.input), c.want);
  }
}

TEST(HeaderWords, MailDatesInUtc) {
  struct Case { std::string_view input; std::optional<int64_t> want; };
  const Case kCases[] = {
      {"Thu, 01 Jan 1970 00:00:00 +0000", 0},
      {"Thu, 10 Dec 2026 09:30:00 +0100", 1796891400},
      {"10 Dec 2026 08:30 GMT", 1796891400},
      {"Thu, 10 Dec 2026 03:30:00 -0500 (EST)", 1796891400},
      {"Thu, 10 Dec 26 08:30:00 +0000", 1796891400},
      {"yesterday", std::nullopt},
      {"Thu, 32 Dec 2026 08:30:00 +0000", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(parseMailDate(c.input), c.want);
  }
}

TEST(HeaderWords, FileNamesInEitherEncoding) {
  struct Case { std::string_view name, fields, want; };
  const Case kCases[] = {
      {"RFC 2231 in utf-8", "Content-Disposition: attachment; filename*=utf-8''%E6%8A%A5%E5%91%8A.pdf", "报告.pdf"},
      {"RFC 2231 in latin-1", "Content-Disposition: attachment; filename*=iso-8859-1'fr'caf%E9.txt", "café.txt"},
      {"quotes in a plain name", "Content-Disposition: attachment; filename=\"it''s 'new'.txt\"", "it''s 'new'.txt"},
      {"RFC 2231 bad escape kept", "Content-Disposition: attachment; filename*=utf-8''a%zz.txt", "a%zz.txt"},
      {"encoded word in the type's name", "Content-Type: text/plain; name=\"=?utf-8?B?56yU6K6w?=.txt\"", "笔记.txt"},
      {"disposition before type",
       "Content-Type: application/pdf; name=ignored.pdf\r\nContent-Disposition: attachment; filename=used.pdf",
       "used.pdf"},
      {"none", "Content-Type: application/pdf", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string message = std::string(c.fields) + "\r\n\r\nbody";
    const auto root = parse(ByteView(reinterpret_cast<const uint8_t*>(message.data()), message.size()));
    EXPECT_EQ(fileName(*root), c.want);
  }
}

TEST(HeaderWords, PercentEscapesDecodeOnlyWhenWellFormed) {
  EXPECT_EQ(percentDecoded("a%20b%2"), "a b%2");
  EXPECT_EQ(percentDecoded("%E4%b8%AD%g0"), "\xe4\xb8\xad%g0");
}

}  // namespace
}  // namespace qy::MIME
