// Unicode helpers over UTF-8 strings, on ICU's data: repairing invalid UTF-8, walking code points,
// counting user-perceived characters (extended grapheme clusters) and the character properties
// the document and language code need. Every std::string that holds text in this system is valid
// UTF-8; bytes from outside become text only through these helpers or a charset decoder.
// Pure functions; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qy::Unicode {

// The bytes as UTF-8 with every invalid sequence replaced by U+FFFD (one per maximal invalid
// subpart, as the Unicode standard recommends).
std::string repairUtf8(std::string_view bytes);
// Whether the bytes are well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

// Decodes the code point at `offset` and advances `offset` past it. Invalid bytes decode as
// U+FFFD and advance by one byte. Requires offset < text.size().
char32_t next(std::string_view text, size_t& offset);
// Decodes the code point that ends at `offset` and moves `offset` back to its start. Invalid
// bytes decode as U+FFFD. Requires offset > 0.
char32_t previous(std::string_view text, size_t& offset);
// Appends the UTF-8 encoding of a code point (surrogates and values past U+10FFFF become U+FFFD).
void append(std::string& out, char32_t codePoint);

// Calls `visit` with each user-perceived character (extended grapheme cluster) of the text, in
// order, until it returns false. ASCII text (where only CR LF joins two bytes) skips ICU.
void forEachGrapheme(std::string_view text, const std::function<bool(std::string_view)>& visit);
// The number of user-perceived characters (extended grapheme clusters).
size_t graphemeCount(std::string_view text);
// The first `count` user-perceived characters of the text (all of it when it has fewer).
std::string_view graphemePrefix(std::string_view text, size_t count);

// Whether two texts are canonically equivalent (equal after NFD normalisation).
bool canonicallyEqual(std::string_view a, std::string_view b);

// Whether every byte is ASCII.
inline bool isAscii(std::string_view text) {
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  }
  return true;
}
inline char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Full Unicode lower-casing by the default (root locale) rules; one code point may become
// several ("\u212A" KELVIN SIGN becomes "k"). Invalid UTF-8 comes out as U+FFFD.
std::string lowercased(std::string_view text);

// Blanks: general category Zs, or U+0009. CR and LF are not blanks.
bool isBlank(char32_t codePoint);
// The text without leading and trailing blanks.
std::string_view trimBlanks(std::string_view text);

bool isAlphabetic(char32_t codePoint);     // the Alphabetic property
bool isSpaceSeparator(char32_t codePoint);  // general category Zs
bool isWhiteSpace(char32_t codePoint);      // the White_Space property

}  // namespace qy::Unicode
