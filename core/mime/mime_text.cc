// ICU-backed text helpers for header values.
#include "core/mime/mime_text.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>

#include "core/base/unicode.h"

namespace qy::MIMEText {
namespace {

bool isAscii(std::string_view text) {
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  }
  return true;
}

// One character break iterator per thread: ICU iterators are not thread-safe but cheap to reuse.
icu::BreakIterator* characterIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) it.reset();
    return it;
  }();
  return iterator.get();
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
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  while (end > begin) {
    auto pos = static_cast<int32_t>(end);
    UChar32 c;
    U8_PREV(s, static_cast<int32_t>(begin), pos, c);
    if (c < 0 || !isSpaceOrTab(static_cast<char32_t>(c))) break;
    end = static_cast<size_t>(pos);
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
  if (isAscii(text)) {
    // In ASCII only CR LF joins two code points into one character.
    for (size_t i = 0; i < text.size(); ++i) {
      const size_t length = (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
      if (!visit(text.substr(i, length))) return;
      i += length - 1;
    }
    return;
  }
  icu::BreakIterator* it = characterIterator();
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_FAILURE(status) || it == nullptr) {
    // Without ICU's iterator, fall back to code points.
    utext_close(ut);
    size_t offset = 0;
    while (offset < text.size()) {
      const size_t start = offset;
      Unicode::next(text, offset);
      if (!visit(text.substr(start, offset - start))) return;
    }
    return;
  }
  it->setText(ut, status);
  size_t previous = 0;
  for (int32_t b = it->next(); b != icu::BreakIterator::DONE; b = it->next()) {
    const auto boundary = static_cast<size_t>(b);
    if (!visit(text.substr(previous, boundary - previous))) break;
    previous = boundary;
  }
  // Detach the iterator from the text before closing it.
  UErrorCode ignored = U_ZERO_ERROR;
  UText* empty = utext_openUTF8(nullptr, "", 0, &ignored);
  it->setText(empty, ignored);
  utext_close(ut);
  utext_close(empty);
}

}  // namespace qy::MIMEText
