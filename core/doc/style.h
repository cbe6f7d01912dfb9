// Style: HTML-safe text and the inline-styled element that carries one translation, in the look
// the settings choose ("sidebar", "highlight" or "plain", accent colour, font scale, opacity).
// Pure functions of their arguments; callable from any thread.
#pragma once

#include <string>
#include <string_view>

#include "core/config/config.h"

namespace qy::Style {

// "&", "<" and ">" as entities; quotes are kept (the result only ever goes into element content).
std::string escape(std::string_view text);
// The tidied text, escaped, with "<br>" for each line break.
std::string escapeWithBreaks(std::string_view text);
// The trimmed value when it is exactly "#" and six hexadecimal digits, else "#34A77A".
std::string safeColor(std::string_view value);
// The <span class="qy-tr" ...> element that shows a translation.
std::string translationBlock(std::string_view translation, const Config& cfg);
// A translation shown in place of its source (`html`, already escaped) with the source as its
// tooltip: <span class="qy-in" title="source">html</span>. The reader keeps the original one
// hover away.
std::string inPlace(std::string_view html, std::string_view source);
// Whether the translation says something the source does not: not blank, and not equal to the
// source ignoring case (full case folding, canonically equivalent forms equal).
bool worthShowing(std::string_view translation, std::string_view original);

}  // namespace qy::Style
