// Lang: which language a text is in, and whether it is already in the user's target language.
// Script counting is a single pass over the text's scalars; detection runs CLD2 (full tables) on
// a fresh call each time, so concurrent callers share nothing. Language codes are BCP 47 style
// ("en", "fr", "zh-Hans", "zh-Hant", …), the same codes the translation service and the language
// names accept. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qy::Lang {

// Counts of alphabetic scalars. A scalar counts in `letters` and in at most one of the three
// script groups (Han, then kana, then Hangul).
struct Scripts {
  int64_t han = 0;
  int64_t kana = 0;
  int64_t hangul = 0;
  int64_t letters = 0;
  bool operator==(const Scripts&) const = default;
};

Scripts scripts(std::string_view text);

// The part of a code before the first '-', lower-cased, empty pieces skipped ("zh-Hans" → "zh").
std::string base(std::string_view code);

// Whether a subtag after the language names a region: two letters or three digits ("MX", "419").
bool isRegionSubtag(std::string_view tag);

// The code without its region subtag (two letters or three digits after the language):
// "es-MX" → "es", "zh-Hant-TW" → "zh-Hant"; a code without a region is returned as it is.
std::string withoutRegion(std::string_view code);

// The dominant language of the text, or nothing when it is undetermined or, with a positive
// minimum, when the top hypothesis's probability is below `minConfidence`.
std::optional<std::string> detect(std::string_view text, double minConfidence = 0);

// Whether the text is to be treated as already in `target`. `isLong` turns on the check that
// tells Traditional from Simplified Chinese (for a whole message, not single segments).
bool isTarget(std::string_view text, std::string_view target, bool isLong = false);

// CLD2's code for a language as this system writes it: "zh" → "zh-Hans", "iw" → "he",
// "jw" → "jv", "no" → "nb"; nothing for CLD2's non-languages ("un", "xxx", script-only and joke codes).
std::optional<std::string> fromDetectorCode(std::string_view code);

}  // namespace qy::Lang
