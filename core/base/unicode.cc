// ICU-backed implementation of the Unicode helpers.
#include "core/base/unicode.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <cstring>
#include <memory>

namespace qy::Unicode {
namespace {

// A character break iterator per thread; ICU iterators are not thread-safe but cheap to reuse.
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

bool isValidUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  // 64-bit offsets: the text may be longer than 2 GiB.
  const auto n = static_cast<int64_t>(bytes.size());
  int64_t pos = 0;
  while (pos < n) {
    // Runs of ASCII, eight bytes at a time, need no decoding.
    while (pos + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, s + pos, 8);
      if (word & 0x8080808080808080ull) break;
      pos += 8;
    }
    if (pos >= n) break;
    if (s[pos] < 0x80) {
      ++pos;
      continue;
    }
    UChar32 c;
    U8_NEXT(s, pos, n, c);
    if (c < 0) return false;
  }
  return true;
}

std::string repairUtf8(std::string_view bytes) {
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 16);
  size_t offset = 0;
  while (offset < bytes.size()) append(out, next(bytes, offset));
  return out;
}

char32_t next(std::string_view text, size_t& offset) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  // ICU's macro works on int32_t offsets; texts longer than 2 GiB are not handled here.
  auto pos = static_cast<int32_t>(offset);
  const auto n = static_cast<int32_t>(text.size());
  UChar32 c;
  U8_NEXT(s, pos, n, c);  // stops after the maximal invalid subpart, giving c < 0
  offset = static_cast<size_t>(pos);
  return c < 0 ? U'\uFFFD' : static_cast<char32_t>(c);
}

char32_t previous(std::string_view text, size_t& offset) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  auto pos = static_cast<int32_t>(offset);
  UChar32 c;
  U8_PREV(s, 0, pos, c);
  offset = static_cast<size_t>(pos);
  return c < 0 ? U'\uFFFD' : static_cast<char32_t>(c);
}

void append(std::string& out, char32_t codePoint) {
  if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) codePoint = 0xFFFD;
  char buffer[4];
  int32_t length = 0;
  [[maybe_unused]] UBool error = false;
  U8_APPEND(reinterpret_cast<uint8_t*>(buffer), length, 4, static_cast<UChar32>(codePoint), error);
  out.append(buffer, static_cast<size_t>(length));
}

void forEachGrapheme(std::string_view text, const std::function<bool(std::string_view)>& visit) {
  bool ascii = true;
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    for (size_t i = 0; i < text.size();) {
      const size_t length = (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
      if (!visit(text.substr(i, length))) return;
      i += length;
    }
    return;
  }
  icu::BreakIterator* it = characterIterator();
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_FAILURE(status) || !it) {
    // Without ICU's iterator, fall back to code points.
    utext_close(ut);
    for (size_t offset = 0; offset < text.size();) {
      const size_t start = offset;
      next(text, offset);
      if (!visit(text.substr(start, offset - start))) return;
    }
    return;
  }
  it->setText(ut, status);
  size_t previousBoundary = 0;
  for (int32_t b = it->next(); b != icu::BreakIterator::DONE; b = it->next()) {
    const auto boundary = static_cast<size_t>(b);
    if (!visit(text.substr(previousBoundary, boundary - previousBoundary))) break;
    previousBoundary = boundary;
  }
  // Detach the iterator from the text before closing it.
  UErrorCode ignored = U_ZERO_ERROR;
  UText* empty = utext_openUTF8(nullptr, "", 0, &ignored);
  it->setText(empty, ignored);
  utext_close(ut);
  utext_close(empty);
}

size_t graphemeCount(std::string_view text) {
  // ASCII without CR is one character per byte.
  bool simple = true;
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) >= 0x80 || ch == '\r') {
      simple = false;
      break;
    }
  }
  if (simple) return text.size();
  size_t count = 0;
  forEachGrapheme(text, [&](std::string_view) {
    ++count;
    return true;
  });
  return count;
}

std::string_view graphemePrefix(std::string_view text, size_t count) {
  size_t end = 0;
  size_t seen = 0;
  if (count == 0) return text.substr(0, 0);
  forEachGrapheme(text, [&](std::string_view character) {
    end = static_cast<size_t>(character.data() - text.data()) + character.size();
    return ++seen < count;
  });
  return text.substr(0, end);
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return false;
  icu::UnicodeString left = nfd->normalize(
      icu::UnicodeString::fromUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size()))), status);
  icu::UnicodeString right = nfd->normalize(
      icu::UnicodeString::fromUTF8(icu::StringPiece(b.data(), static_cast<int32_t>(b.size()))), status);
  return U_SUCCESS(status) && left == right;
}

std::string lowercased(std::string_view text) {
  if (isAscii(text)) {
    std::string out(text);
    for (char& ch : out) ch = asciiLower(ch);
    return out;
  }
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  u.toLower(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

bool isBlank(char32_t codePoint) {
  if (codePoint < 0x80) return codePoint == U' ' || codePoint == U'\t';
  return isSpaceSeparator(codePoint);
}

std::string_view trimBlanks(std::string_view text) {
  // Only the trimmed ends are decoded.
  size_t begin = 0;
  while (begin < text.size()) {
    size_t after = begin;
    if (!isBlank(next(text, after))) break;
    begin = after;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = end;
    if (!isBlank(previous(text, start))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

bool isAlphabetic(char32_t codePoint) {
  return u_hasBinaryProperty(static_cast<UChar32>(codePoint), UCHAR_ALPHABETIC);
}

bool isSpaceSeparator(char32_t codePoint) {
  return u_charType(static_cast<UChar32>(codePoint)) == U_SPACE_SEPARATOR;
}

bool isWhiteSpace(char32_t codePoint) {
  return u_hasBinaryProperty(static_cast<UChar32>(codePoint), UCHAR_WHITE_SPACE);
}

}  // namespace qy::Unicode
