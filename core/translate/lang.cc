// Script counts over ICU's Alphabetic property and language detection through CLD2.
#include "core/translate/lang.h"

// CLD2's header uses FILE without including <cstdio>.
#include <cstdio>

#include <cld2/public/compact_lang_det.h>

#include <malloc.h>

#include <algorithm>
#include <cctype>
#include <climits>

#include "core/base/unicode.h"

namespace qy::Lang {
namespace {

bool inHan(char32_t c) {
  return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) ||
         (c >= 0x20000 && c <= 0x2A6DF) || (c >= 0xF900 && c <= 0xFAFF);
}
bool inKana(char32_t c) {
  return (c >= 0x3040 && c <= 0x30FF) || (c >= 0x31F0 && c <= 0x31FF) ||
         (c >= 0xFF66 && c <= 0xFF9F);
}
bool inHangul(char32_t c) {
  return (c >= 0xAC00 && c <= 0xD7AF) || (c >= 0x1100 && c <= 0x11FF) ||
         (c >= 0x3130 && c <= 0x318F);
}

double ratio(int64_t part, int64_t whole) {
  return static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

Scripts scripts(std::string_view text) {
  Scripts s;
  size_t offset = 0;
  while (offset < text.size()) {
    const auto byte = static_cast<unsigned char>(text[offset]);
    if (byte < 0x80) {
      // ASCII: the letters are exactly A-Z and a-z, and none is Han, kana or Hangul.
      s.letters += ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z') ? 1 : 0;
      ++offset;
      continue;
    }
    const char32_t c = Unicode::next(text, offset);
    if (!Unicode::isAlphabetic(c)) continue;
    ++s.letters;
    if (inHan(c))
      ++s.han;
    else if (inKana(c))
      ++s.kana;
    else if (inHangul(c))
      ++s.hangul;
  }
  return s;
}

std::string base(std::string_view code) {
  size_t start = 0;
  while (start < code.size()) {
    size_t end = code.find('-', start);
    if (end == std::string_view::npos) end = code.size();
    if (end > start) return Unicode::lowercased(code.substr(start, end - start));
    start = end + 1;
  }
  return Unicode::lowercased(code);
}

bool isRegionSubtag(std::string_view tag) {
  if (tag.size() == 2)
    return std::all_of(tag.begin(), tag.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
  if (tag.size() == 3)
    return std::all_of(tag.begin(), tag.end(), [](char c) { return c >= '0' && c <= '9'; });
  return false;
}

std::string withoutRegion(std::string_view code) {
  std::string out;
  bool dropped = false;
  size_t start = 0;
  for (bool first = true; start <= code.size(); first = false) {
    size_t end = code.find_first_of("-_", start);
    if (end == std::string_view::npos) end = code.size();
    const std::string_view tag = code.substr(start, end - start);
    if (!first && !dropped && isRegionSubtag(tag)) {
      dropped = true;
    } else {
      if (!out.empty()) out += '-';
      out += tag;
    }
    start = end + 1;
  }
  return dropped ? out : std::string(code);
}

std::optional<std::string> fromDetectorCode(std::string_view code) {
  if (code.empty() || code == "un" || code == "xxx") return std::nullopt;
  // "xx-Latn" and the like name a script, not a language; "zz*" are CLD2's joke languages.
  if (code.starts_with("xx-") || code.starts_with("zz")) return std::nullopt;
  if (code == "zh") return "zh-Hans";
  // CLD2 keeps ISO 639's withdrawn codes for Hebrew and Javanese, and names Bokmål by the
  // macrolanguage, where the translation service and the language names say "nb".
  if (code == "iw") return "he";
  if (code == "jw") return "jv";
  if (code == "no") return "nb";
  return std::string(code);
}

std::optional<std::string> detect(std::string_view text, double minConfidence) {
  // The recogniser allocates and frees large scoring tables on every call. With glibc's default
  // trim threshold each free hands the top of the heap back to the kernel and the next call
  // faults it in again, which costs three times the detection itself; keep freed memory.
  static const bool heapKept = (mallopt(M_TRIM_THRESHOLD, 64 << 20), true);
  (void)heapKept;
  // Letterless text ("OK", URLs, numbers) gets arbitrary answers from the recogniser: it has no
  // language.
  std::string repaired;
  std::string_view valid = text;
  if (!Unicode::isValidUtf8(text)) {
    repaired = Unicode::repairUtf8(text);
    valid = repaired;
  }
  bool hasLetter = false;
  for (size_t offset = 0; offset < valid.size() && !hasLetter;) {
    const auto byte = static_cast<unsigned char>(valid[offset]);
    if (byte < 0x80) {
      hasLetter = (byte | 0x20) >= 'a' && (byte | 0x20) <= 'z';
      ++offset;
    } else {
      hasLetter = Unicode::isAlphabetic(Unicode::next(valid, offset));
    }
  }
  if (!hasLetter) return std::nullopt;

  CLD2::Language language3[3] = {CLD2::UNKNOWN_LANGUAGE, CLD2::UNKNOWN_LANGUAGE,
                                 CLD2::UNKNOWN_LANGUAGE};
  int percent3[3] = {0, 0, 0};
  double scores3[3] = {0, 0, 0};
  int textBytes = 0;
  bool reliable = false;
  const int length = static_cast<int>(std::min<size_t>(valid.size(), INT_MAX));
  const CLD2::Language dominant = CLD2::ExtDetectLanguageSummary(
      valid.data(), length, /*is_plain_text=*/true, /*cld_hints=*/nullptr, /*flags=*/0, language3,
      percent3, scores3, /*resultchunkvector=*/nullptr, &textBytes, &reliable);

  std::optional<std::string> code = fromDetectorCode(CLD2::LanguageCode(dominant));
  if (!code) return std::nullopt;
  if (minConfidence > 0) {
    // The one hypothesis asked for is the top language, with its share of the text as its
    // probability.
    if (language3[0] != dominant) return std::nullopt;
    if (static_cast<double>(percent3[0]) / 100.0 < minConfidence) return std::nullopt;
  }
  return code;
}

bool isTarget(std::string_view text, std::string_view target, bool isLong) {
  const Scripts s = scripts(text);
  if (s.letters == 0) return true;  // nothing to translate
  const std::string targetBase = base(target);

  if (targetBase == "zh") {
    if (ratio(s.han, s.letters) < 0.5) return false;
    if (8 * s.kana >= s.han) return false;  // enough kana to be Japanese
    if (!isLong) return true;
    if (s.letters < 40) return true;
    const std::optional<std::string> d = detect(text, 0.7);
    if (!d) return true;
    if (base(*d) != "zh") return true;  // the script counts win
    if (*d == target) return true;
    // The other Chinese variant: Traditional text is translated into Simplified and the reverse.
    return !(target == "zh-Hans" || target == "zh-Hant");
  }
  if (targetBase == "ja") {
    if (s.kana == 0) return false;
    return ratio(s.han + s.kana, s.letters) >= 0.5;
  }
  if (targetBase == "ko") return ratio(s.hangul, s.letters) >= 0.5;

  if (ratio(s.han + s.kana + s.hangul, s.letters) >= 0.3) return false;
  if (Unicode::graphemeCount(text) < 15) return false;  // too short to tell
  const std::optional<std::string> d = detect(text, 0.6);
  if (!d) return false;
  return base(*d) == targetBase;
}

}  // namespace qy::Lang
