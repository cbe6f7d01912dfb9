// Text helpers that the MIME header code shares: trimming the horizontal-whitespace set (the
// Unicode space separators and U+0009; CR and LF are not in it), full Unicode lower-casing, and
// cutting a string into user-perceived characters. Inputs are valid UTF-8 (header text has been
// repaired before it gets here). Pure functions; callable from any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace qy::MIMEText {

// Whether a code point is a space or tab: general category Zs, or U+0009.
bool isSpaceOrTab(char32_t codePoint);
// The text without leading and trailing spaces and tabs.
std::string_view trimSpacesAndTabs(std::string_view text);
// Full Unicode lower-casing in the root locale (one code point may become several).
std::string lowercased(std::string_view text);
// Calls `visit` with each user-perceived character (extended grapheme cluster) of the text, in
// order, until it returns false.
void forEachCharacter(std::string_view text, const std::function<bool(std::string_view)>& visit);

}  // namespace qy::MIMEText
