// TextUtil: the text normalisation both document models share — trimming by the two character
// classes *blanks* (general category Zs plus U+0009) and *blanks and line breaks* (category Z plus
// U+0009..U+000D and U+0085), tidying into non-empty lines, collapsing blank runs, counting
// letters, and deciding whether a text is worth sending to translation.
// Pure functions of their arguments on valid UTF-8 text; callable from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace qy::TextUtil {

// The scalars that text normalisation drops: zero-width space, non-joiner and joiner, word joiner,
// zero-width no-break space, soft hyphen, combining grapheme joiner, left-to-right and
// right-to-left marks, Arabic letter mark, Mongolian vowel separator.
inline constexpr std::array<char32_t, 11> invisible = {0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF, 0x00AD,
                                                       0x034F, 0x200E, 0x200F, 0x061C, 0x180E};

// Character classes.
bool isBlank(char32_t codePoint);                 // Zs or U+0009
bool isBlankOrLineBreak(char32_t codePoint);      // Z, U+0009..U+000D or U+0085
bool isInvisible(char32_t codePoint);             // one of `invisible`
bool isCollapsibleBlank(char32_t codePoint);      // one of the 7 scalars collapse() treats as blank

// The text without leading and trailing *blanks*.
std::string_view trimBlanks(std::string_view text);
// The text without leading and trailing *blanks and line breaks*.
std::string_view trimBlanksAndLineBreaks(std::string_view text);

// The text's lines (split at U+000A), each trimmed of blanks, empty ones dropped, joined by U+000A.
std::string tidy(std::string_view text);
// Invisible scalars removed and every run of collapsible blanks replaced by one U+0020 (also at
// the ends: collapse does not trim).
std::string collapse(std::string_view text);
// The number of scalars with the Unicode property Alphabetic.
size_t letterCount(std::string_view text);
// Whether the text is worth translating: at least two letters, and not a lone link or address.
bool translatable(std::string_view text);

}  // namespace qy::TextUtil
