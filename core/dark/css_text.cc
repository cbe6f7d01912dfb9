// CSSText on the Unicode helpers and the standard library's locale-independent number parser.
#include "core/dark/css_text.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>

#include "core/base/unicode.h"

namespace qy::CSSText {

bool equalsLower(std::string_view text, std::string_view lowerWord) {
  if (text.size() == lowerWord.size() && Unicode::isAscii(text)) {
    for (size_t i = 0; i < text.size(); ++i) {
      if (Unicode::asciiLower(text[i]) != lowerWord[i]) return false;
    }
    return true;
  }
  if (Unicode::isAscii(text)) return false;
  return Unicode::lowercased(text) == lowerWord;
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
