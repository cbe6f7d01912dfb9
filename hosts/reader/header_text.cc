// Encoded words, display names and dates of header fields.
#include "hosts/reader/header_text.h"

#include <array>
#include <cctype>
#include <vector>

#include "core/base/unicode.h"
#include "core/mime/mime_charset.h"
#include "core/mime/mime_decode.h"
#include "core/mime/mime_part.h"

namespace qy::reader {
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
    const Bytes decoded = MIME::decodeBase64(asBytes(text));
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
  const auto encoding = MIME::stringEncoding(charset);
  if (!encoding) return std::nullopt;
  return MIME::decodeStrict(asBytes(bytes), *encoding);
}

// Text outside encoded words: UTF-8 as it is, else in the message's charset when it reads so.
std::string rawText(std::string_view text, std::optional<std::string_view> fallbackCharset) {
  if (fallbackCharset && !Unicode::isValidUtf8(text))
    if (const auto encoding = MIME::stringEncoding(*fallbackCharset))
      if (auto decoded = MIME::decodeStrict(asBytes(text), *encoding)) return *decoded;
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

std::string displayName(std::string_view addresses) {
  std::string_view text = Unicode::trimBlanks(addresses);
  // The first address of a list: up to a comma outside quotes and angle brackets.
  bool quoted = false;
  int angle = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' && (i == 0 || text[i - 1] != '\\')) quoted = !quoted;
    else if (!quoted && c == '<') ++angle;
    else if (!quoted && c == '>' && angle > 0) --angle;
    else if (!quoted && angle == 0 && c == ',') {
      text = text.substr(0, i);
      break;
    }
  }
  text = Unicode::trimBlanks(text);
  const size_t lt = text.rfind('<');
  if (lt == std::string_view::npos) return std::string(text);
  std::string_view name = Unicode::trimBlanks(text.substr(0, lt));
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
  if (!name.empty()) {
    std::string unescaped;
    for (size_t i = 0; i < name.size(); ++i) {
      if (name[i] == '\\' && i + 1 < name.size()) ++i;
      unescaped.push_back(name[i]);
    }
    return unescaped;
  }
  std::string_view address = text.substr(lt + 1);
  if (const size_t gt = address.find('>'); gt != std::string_view::npos) address = address.substr(0, gt);
  return std::string(Unicode::trimBlanks(address));
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

std::optional<int> zoneMinutes(std::string_view zone) {
  if (zone.size() == 5 && (zone[0] == '+' || zone[0] == '-')) {
    for (size_t i = 1; i < 5; ++i)
      if (!std::isdigit(static_cast<unsigned char>(zone[i]))) return std::nullopt;
    const int minutes = ((zone[1] - '0') * 10 + (zone[2] - '0')) * 60 + (zone[3] - '0') * 10 + (zone[4] - '0');
    return zone[0] == '-' ? -minutes : minutes;
  }
  struct Named { std::string_view name; int minutes; };
  static constexpr std::array<Named, 10> kZones = {{{"UT", 0}, {"GMT", 0}, {"Z", 0}, {"EST", -300},
      {"EDT", -240}, {"CST", -360}, {"CDT", -300}, {"MST", -420}, {"MDT", -360}, {"PST", -480}}};
  for (const auto& z : kZones)
    if (Unicode::lowercased(z.name) == Unicode::lowercased(zone)) return z.minutes;
  if (Unicode::lowercased(zone) == "pdt") return -420;
  return std::nullopt;
}

}  // namespace

std::optional<int64_t> parseMailDate(std::string_view value) {
  // Tokens split at blanks and commas; a comment "(CET)" ends the date.
  std::vector<std::string_view> tokens;
  size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t' || value[i] == ',' ||
                                value[i] == '\r' || value[i] == '\n'))
      ++i;
    if (i >= value.size() || value[i] == '(') break;
    const size_t start = i;
    while (i < value.size() && value[i] != ' ' && value[i] != '\t' && value[i] != ',' &&
           value[i] != '\r' && value[i] != '\n')
      ++i;
    tokens.push_back(value.substr(start, i - start));
  }
  size_t t = 0;
  if (t < tokens.size() && !tokens[t].empty() && std::isalpha(static_cast<unsigned char>(tokens[t][0]))) ++t;
  if (tokens.size() < t + 4) return std::nullopt;
  auto number = [](std::string_view s) -> std::optional<int64_t> {
    if (s.empty() || s.size() > 4) return std::nullopt;
    int64_t v = 0;
    for (char c : s) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
      v = v * 10 + (c - '0');
    }
    return v;
  };
  static constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                               "jul", "aug", "sep", "oct", "nov", "dec"};
  const auto day = number(tokens[t]);
  unsigned month = 0;
  const std::string monthName = Unicode::lowercased(tokens[t + 1].substr(0, 3));
  for (unsigned m = 0; m < kMonths.size(); ++m)
    if (kMonths[m] == monthName) month = m + 1;
  auto year = number(tokens[t + 2]);
  if (!day || *day < 1 || *day > 31 || month == 0 || !year) return std::nullopt;
  if (tokens[t + 2].size() <= 2) *year += *year < 50 ? 2000 : 1900;  // obsolete two-digit years
  else if (tokens[t + 2].size() == 3) *year += 1900;
  // The time: hh:mm or hh:mm:ss.
  const std::string_view time = tokens[t + 3];
  int64_t parts[3] = {0, 0, 0};
  size_t count = 0, p = 0;
  while (p <= time.size() && count < 3) {
    const size_t colon = std::min(time.find(':', p), time.size());
    const auto v = number(time.substr(p, colon - p));
    if (!v) return std::nullopt;
    parts[count++] = *v;
    p = colon + 1;
  }
  if (count < 2 || parts[0] > 23 || parts[1] > 59 || parts[2] > 60) return std::nullopt;
  int zone = 0;
  if (tokens.size() > t + 4)
    if (auto z = zoneMinutes(tokens[t + 4])) zone = *z;
  const int64_t days = daysFromCivil(*year, month, static_cast<unsigned>(*day));
  return days * 86400 + parts[0] * 3600 + parts[1] * 60 + parts[2] - int64_t{zone} * 60;
}

}  // namespace qy::reader
