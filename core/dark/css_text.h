// CSSText: the small text operations the colour parsers and the dark rewriter share beyond the
// Unicode helpers (lower-casing and trimming are Unicode::lowercased and Unicode::trimBlanks):
// comparing with a lower-case word, and reading a CSS number as a finite double independently of
// the C locale.
// Pure functions; callable from any thread. Texts may hold invalid UTF-8; nothing here fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qy::CSSText {

// Whether the text lower-cased would equal `lowerWord` (an ASCII lower-case word).
bool equalsLower(std::string_view text, std::string_view lowerWord);
// A decimal number with an optional sign, fraction and exponent ("0.5", ".5", "-1e2", "+3"),
// nothing else around it. Non-finite results ("nan", "inf", "1e400") are not numbers.
std::optional<double> parseNumber(std::string_view text);

}  // namespace qy::CSSText
