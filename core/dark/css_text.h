// CSSText: the small text operations the colour parsers and the dark rewriter share — lower-casing
// (full Unicode lower-casing, with a fast path for ASCII), trimming *blanks* (general category Zs
// and U+0009), and reading a CSS number as a finite double independently of the C locale.
// Pure functions; callable from any thread. Texts may hold invalid UTF-8; nothing here fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qy::CSSText {

// The text lower-cased by the Unicode default rules (so "\u212A" KELVIN SIGN becomes "k").
// Invalid UTF-8 comes back with each bad sequence as U+FFFD.
std::string lower(std::string_view text);
// Whether the text lower-cased would equal `lowerWord` (an ASCII lower-case word).
bool equalsLower(std::string_view text, std::string_view lowerWord);
// The text without leading and trailing Zs characters and tabs.
std::string_view trimBlanks(std::string_view text);
// A decimal number with an optional sign, fraction and exponent ("0.5", ".5", "-1e2", "+3"),
// nothing else around it. Non-finite results ("nan", "inf", "1e400") are not numbers.
std::optional<double> parseNumber(std::string_view text);

}  // namespace qy::CSSText
