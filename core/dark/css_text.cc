// CSSText on ICU's case mapping and the standard library's locale-independent number parser.
#include "core/dark/css_text.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>

#include "core/base/unicode.h"

namespace qy::CSSText {
namespace {

bool isAsciiText(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool isBlank(char32_t cp) {
  if (cp < 0x80) return cp == U' ' || cp == U'\t';
  return u_charType(static_cast<UChar32>(cp)) == U_SPACE_SEPARATOR;
}

}  // namespace

std::string lower(std::string_view text) {
  if (isAsciiText(text)) {
    std::string out(text);
    for (char& c : out) c = asciiLower(c);
    return out;
  }
  std::string valid = Unicode::repairUtf8(text);
  icu::UnicodeString s =
      icu::UnicodeString::fromUTF8(icu::StringPiece(valid.data(), static_cast<int32_t>(valid.size())));
  s.toLower(icu::Locale::getRoot());
  std::string out;
  s.toUTF8String(out);
  return out;
}

bool equalsLower(std::string_view text, std::string_view lowerWord) {
  if (text.size() == lowerWord.size() && isAsciiText(text)) {
    for (size_t i = 0; i < text.size(); ++i) {
      if (asciiLower(text[i]) != lowerWord[i]) return false;
    }
    return true;
  }
  if (isAsciiText(text)) return false;
  return lower(text) == lowerWord;
}

std::string_view trimBlanks(std::string_view text) {
  size_t begin = text.size();
  size_t end = 0;
  size_t offset = 0;
  while (offset < text.size()) {
    size_t start = offset;
    char32_t cp = Unicode::next(text, offset);
    if (!isBlank(cp)) {
      if (begin == text.size()) begin = start;
      end = offset;
    }
  }
  if (begin >= end) return text.substr(0, 0);
  return text.substr(begin, end - begin);
}

std::optional<double> parseNumber(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  // from_chars takes no sign of its own here, and no hexadecimal or "inf"/"nan" spellings
  // reach a colour: the first character must begin a decimal number.
  if (text.empty() || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.')) return std::nullopt;
  double value = 0;
  const char* end = text.data() + text.size();
  auto result = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (result.ptr != end) return std::nullopt;
  if (result.ec == std::errc::result_out_of_range) {
    // Past the range of a double: read it again with strtod in the "C" locale, which gives
    // infinity for too large (refused below) and zero or a subnormal for too small.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    if (!cLocale) return std::nullopt;
    std::string copy(text);
    value = strtod_l(copy.c_str(), nullptr, cLocale);
  } else if (result.ec != std::errc()) {
    return std::nullopt;
  }
  if (!std::isfinite(value)) return std::nullopt;
  return negative ? -value : value;
}

}  // namespace qy::CSSText
