// TextUtil on ICU's character data (through core/base/unicode.h).
#include "core/doc/text_util.h"

#include <unicode/uchar.h>

#include "core/base/unicode.h"

namespace qy::TextUtil {
namespace {

bool isAscii(unsigned char byte) { return byte < 0x80; }

// What is left of `text` once the code points for which `trim` holds are removed from both ends.
// Only the trimmed ends are decoded.
template <typename Pred>
std::string_view trimBy(std::string_view text, Pred trim) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t next = begin;
    if (!trim(Unicode::next(text, next))) break;
    begin = next;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = end;
    if (!trim(Unicode::previous(text, start))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace

bool isBlank(char32_t cp) { return Unicode::isBlank(cp); }

bool isBlankOrLineBreak(char32_t cp) {
  // Tab counts too: it is a blank, and "blanks and line breaks" is a superset of "blanks".
  if (cp < 0x80) return cp == U' ' || (cp >= 0x09 && cp <= 0x0D);
  if (cp == 0x85) return true;
  auto type = u_charType(static_cast<UChar32>(cp));
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

bool isInvisible(char32_t cp) {
  if (cp < 0xAD) return false;
  for (char32_t member : invisible) {
    if (cp == member) return true;
  }
  return false;
}

bool isCollapsibleBlank(char32_t cp) {
  switch (cp) {
    case 0x09: case 0x0A: case 0x0C: case 0x0D: case 0x20: case 0xA0: case 0x2007:
      return true;
    default:
      return false;
  }
}

std::string_view trimBlanks(std::string_view text) { return Unicode::trimBlanks(text); }

std::string_view trimBlanksAndLineBreaks(std::string_view text) {
  return trimBy(text, isBlankOrLineBreak);
}

std::string tidy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  while (start <= text.size()) {
    size_t newline = text.find('\n', start);
    if (newline == std::string_view::npos) newline = text.size();
    std::string_view line = trimBlanks(text.substr(start, newline - start));
    if (!line.empty()) {
      if (!out.empty()) out.push_back('\n');
      out.append(line);
    }
    start = newline + 1;
  }
  return out;
}

std::string collapse(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pending = false;
  size_t offset = 0;
  while (offset < text.size()) {
    auto byte = static_cast<unsigned char>(text[offset]);
    char32_t cp;
    if (isAscii(byte)) {
      cp = byte;
      ++offset;
    } else {
      cp = Unicode::next(text, offset);
    }
    if (isInvisible(cp)) continue;  // leaves a pending blank pending
    if (isCollapsibleBlank(cp)) {
      pending = true;
      continue;
    }
    if (pending) {
      out.push_back(' ');
      pending = false;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else {
      Unicode::append(out, cp);
    }
  }
  if (pending) out.push_back(' ');
  return out;
}

size_t letterCount(std::string_view text) {
  size_t count = 0;
  size_t offset = 0;
  while (offset < text.size()) {
    auto byte = static_cast<unsigned char>(text[offset]);
    if (isAscii(byte)) {
      ++offset;
      if ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z') ++count;
      continue;
    }
    if (Unicode::isAlphabetic(Unicode::next(text, offset))) ++count;
  }
  return count;
}

bool translatable(std::string_view text) {
  if (letterCount(text) < 2) return false;
  if (text.find(' ') != std::string_view::npos) return true;
  if (text.find('\n') != std::string_view::npos) return true;
  if (text.find("://") != std::string_view::npos || text.starts_with("www.")) return false;
  if (text.find('@') == std::string_view::npos) return true;
  return text.find('.') == std::string_view::npos;
}

}  // namespace qy::TextUtil
