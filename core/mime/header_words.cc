// RFC 2047 encoded words in header fields, and fields with their bytes as written.
#include "core/mime/header_words.h"

#include <cctype>
#include <vector>

#include "core/base/unicode.h"
#include "core/mime/mime_charset.h"
#include "core/mime/mime_decode.h"
#include "core/mime/mime_part.h"

namespace qy::MIME {
namespace {

struct EncodedWord {
  size_t begin = 0, end = 0;  // the word's bytes in the value, "=?" to "?=" inclusive
  std::string charset;       // without an RFC 2231 language suffix ("utf-8*en")
  std::string bytes;         // the decoded bytes, in `charset`
};

ByteView asBytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The "Q" encoding: quoted-printable in which '_' stands for a space.
std::string decodeQ(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out.push_back(' ');
    } else if (text[i] == '=' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The encoded word starting at `at` ("=?"), or nothing when the text there is not one.
std::optional<EncodedWord> encodedWordAt(std::string_view value, size_t at) {
  const size_t q1 = value.find('?', at + 2);
  if (q1 == std::string_view::npos || q1 == at + 2 || q1 + 2 >= value.size() || value[q1 + 2] != '?')
    return std::nullopt;
  const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(value[q1 + 1])));
  if (encoding != 'B' && encoding != 'Q') return std::nullopt;
  const size_t textBegin = q1 + 3;
  const size_t close = value.find("?=", textBegin);
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view text = value.substr(textBegin, close - textBegin);
  // Encoded words hold no blanks; a "?=" further on belongs to something else.
  if (text.find_first_of(" \t\r\n") != std::string_view::npos) return std::nullopt;
  std::string_view charset = value.substr(at + 2, q1 - at - 2);
  if (const size_t star = charset.find('*'); star != std::string_view::npos) charset = charset.substr(0, star);
  EncodedWord word{at, close + 2, std::string(charset), {}};
  if (encoding == 'B') {
    const Bytes decoded = decodeBase64(asBytes(text));
    word.bytes.assign(decoded.begin(), decoded.end());
  } else {
    word.bytes = decodeQ(text);
  }
  return word;
}

bool onlyBlanks(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// Decodes a run of words of one charset together: senders split a multi-byte character
// between two adjacent words.
std::optional<std::string> decodeRun(const std::string& charset, const std::string& bytes) {
  const auto encoding = stringEncoding(charset);
  if (!encoding) return std::nullopt;
  return decodeStrict(asBytes(bytes), *encoding);
}

// Text outside encoded words: UTF-8 as it is, else in the message's charset when it reads so.
std::string rawText(std::string_view text, std::optional<std::string_view> fallbackCharset) {
  if (fallbackCharset && !Unicode::isValidUtf8(text))
    if (const auto encoding = stringEncoding(*fallbackCharset))
      if (auto decoded = decodeStrict(asBytes(text), *encoding)) return *decoded;
  return Unicode::repairUtf8(text);
}

}  // namespace

std::string fieldAsWritten(std::string_view message, const MIMEPart& part, std::string_view name) {
  const std::string wanted = Unicode::lowercased(name);
  for (const MIMEField& f : part.fields()) {
    if (Unicode::lowercased(f.name) != wanted) continue;
    if (f.raw.end > message.size() || f.raw.begin >= f.raw.end) return f.value;
    const std::string_view raw = message.substr(f.raw.begin, f.raw.size());
    if (Unicode::isValidUtf8(raw)) return f.value;
    const size_t colon = raw.find(':');
    if (colon == std::string_view::npos) return f.value;
    // Unfolded as the parser does: each continuation line joins with one space.
    std::string out;
    size_t pos = colon + 1;
    while (pos < raw.size()) {
      size_t lf = raw.find('\n', pos);
      if (lf == std::string_view::npos) lf = raw.size();
      std::string_view line = raw.substr(pos, lf - pos);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      line = Unicode::trimBlanks(line);
      if (!out.empty() && !line.empty()) out += ' ';
      out += line;
      pos = lf + 1;
    }
    return out;
  }
  return {};
}

std::string decodeHeaderWords(std::string_view value, std::optional<std::string_view> fallbackCharset) {
  std::string out;
  size_t copied = 0;  // bytes of `value` handled so far
  size_t pos = 0;
  while ((pos = value.find("=?", pos)) != std::string_view::npos) {
    auto word = encodedWordAt(value, pos);
    if (!word) {
      pos += 2;
      continue;
    }
    // Gather the adjacent words (only blanks between them) of the same charset.
    std::vector<EncodedWord> run{std::move(*word)};
    size_t next = run.back().end;
    while (true) {
      const size_t start = value.find("=?", next);
      if (start == std::string_view::npos || !onlyBlanks(value.substr(next, start - next))) break;
      auto follower = encodedWordAt(value, start);
      if (!follower) break;
      run.push_back(std::move(*follower));
      next = run.back().end;
    }
    out += rawText(value.substr(copied, run.front().begin - copied), fallbackCharset);
    // Consecutive words of one charset decode as one byte string; a word that does not decode
    // stays as written.
    size_t i = 0;
    while (i < run.size()) {
      size_t j = i;
      std::string joined;
      while (j < run.size() && Unicode::lowercased(run[j].charset) == Unicode::lowercased(run[i].charset))
        joined += run[j++].bytes;
      if (auto text = decodeRun(run[i].charset, joined)) {
        out += *text;
      } else {
        for (size_t k = i; k < j; ++k)
          out += Unicode::repairUtf8(value.substr(run[k].begin, run[k].end - run[k].begin));
      }
      i = j;
    }
    copied = pos = run.back().end;
  }
  out += rawText(value.substr(copied), fallbackCharset);
  // Control characters (a decoded CR LF, a NUL) have no place in a one-line header text.
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return out;
}

}  // namespace qy::MIME
