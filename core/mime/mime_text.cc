// ICU-backed text helpers for header values.
#include "core/mime/mime_text.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "core/base/unicode.h"

namespace qy::MIMEText {
namespace {

bool isAscii(std::string_view text) {
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  }
  return true;
}

}  // namespace

bool isSpaceOrTab(char32_t codePoint) {
  if (codePoint == U'\t' || codePoint == U' ') return true;
  if (codePoint < 0x80) return false;
  return Unicode::isSpaceSeparator(codePoint);
}

std::string_view trimSpacesAndTabs(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t next = begin;
    if (!isSpaceOrTab(Unicode::next(text, next))) break;
    begin = next;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = end;
    if (!isSpaceOrTab(Unicode::previous(text, start))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string lowercased(std::string_view text) {
  if (isAscii(text)) {
    std::string out(text);
    for (char& ch : out) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return out;
  }
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  u.toLower(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

void forEachCharacter(std::string_view text, const std::function<bool(std::string_view)>& visit) {
  Unicode::forEachGrapheme(text, visit);
}

}  // namespace qy::MIMEText
