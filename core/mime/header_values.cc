// Display names, dates and file names of header fields.
#include "core/mime/header_values.h"

#include <array>
#include <cctype>
#include <vector>

#include "core/base/unicode.h"
#include "core/mime/header_words.h"
#include "core/mime/mime_charset.h"
#include "core/mime/mime_parser.h"
#include "core/mime/mime_part.h"

namespace qy::MIME {

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

namespace {

int hexDigit(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

}  // namespace

std::string percentDecoded(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
      bytes.push_back(static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2])));
      i += 2;
    } else {
      bytes.push_back(text[i]);
    }
  }
  return bytes;
}

namespace {

// A value given as RFC 2231 "charset'language'%XX…" (the parser drops the '*' of the key, so
// the form itself tells): a known charset, a language tag of letters and '-', then the escaped
// bytes. Anything else ("it's a 'test'.txt") is a plain value, and so is nothing.
std::optional<std::string> decodeExtendedValue(std::string_view value) {
  const size_t first = value.find('\'');
  if (first == std::string_view::npos) return std::nullopt;
  const size_t second = value.find('\'', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  for (char c : value.substr(first + 1, second - first - 1))
    if (!std::isalpha(static_cast<unsigned char>(c)) && c != '-') return std::nullopt;
  const std::string_view charset = value.substr(0, first);
  const auto encoding = stringEncoding(charset.empty() ? std::string_view("utf-8") : charset);
  if (!encoding) return std::nullopt;
  const std::string bytes = percentDecoded(value.substr(second + 1));
  if (auto text = decodeStrict(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), *encoding))
    return text;
  return Unicode::repairUtf8(bytes);
}

}  // namespace

std::string fileName(const MIMEPart& part) {
  std::string name;
  if (auto disposition = part.field("content-disposition")) {
    const auto params = parseParams(*disposition).second;
    if (auto it = params.find("filename"); it != params.end()) name = it->second;
  }
  if (name.empty())
    if (auto it = part.params().find("name"); it != part.params().end()) name = it->second;
  if (auto extended = decodeExtendedValue(name)) return *extended;
  return decodeHeaderWords(name);
}

}  // namespace qy::MIME
