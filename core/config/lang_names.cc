// Chinese and English display names from ICU's locale data, with dialect names.
#include "core/config/lang_names.h"

#include <unicode/locdspnm.h>
#include <unicode/uloc.h>
#include <unicode/unistr.h>

#include <memory>
#include <string>

namespace qy::LangNames {
namespace {

constexpr const char* kChineseLocale = "zh_Hans";
constexpr const char* kEnglishLocale = "en";

// Dialect names read as people write them: "简体中文" and "英国英语", not "中文（简体）" and
// "英语（英国）". Built once per thread: an instance is not documented as safe to share.
const icu::LocaleDisplayNames* displayNames(bool english) {
  thread_local const std::unique_ptr<icu::LocaleDisplayNames> chineseNames(
      icu::LocaleDisplayNames::createInstance(icu::Locale(kChineseLocale), ULDN_DIALECT_NAMES));
  thread_local const std::unique_ptr<icu::LocaleDisplayNames> englishNames(
      icu::LocaleDisplayNames::createInstance(icu::Locale(kEnglishLocale), ULDN_DIALECT_NAMES));
  return english ? englishNames.get() : chineseNames.get();
}

std::string displayName(std::string_view id, bool english) {
  const char* displayLocale = english ? kEnglishLocale : kChineseLocale;
  const std::string tag(id);
  if (tag.empty()) return tag;
  // Locale identifiers written with underscores ("pt_BR", "zh_Hant_TW") are named like their
  // language tags.
  std::string bcp47 = tag;
  for (char& ch : bcp47) {
    if (ch == '_') ch = '-';
  }
  // ICU accepts garbage as a language tag with parsedLength 0; only a fully parsed tag counts.
  char localeID[ULOC_FULLNAME_CAPACITY];
  int32_t parsed = 0;
  UErrorCode status = U_ZERO_ERROR;
  uloc_forLanguageTag(bcp47.c_str(), localeID, sizeof localeID, &parsed, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING ||
      parsed != static_cast<int32_t>(bcp47.size()))
    return tag;

  // ICU echoes a language it cannot name ("xx") and reports U_USING_DEFAULT_WARNING for it.
  UChar buffer[256];
  status = U_ZERO_ERROR;
  uloc_getDisplayLanguage(localeID, displayLocale, buffer, 256, &status);
  if (U_FAILURE(status) || status == U_USING_DEFAULT_WARNING) return tag;

  const icu::LocaleDisplayNames* names = displayNames(english);
  if (!names) return tag;
  icu::UnicodeString display;
  names->localeDisplayName(localeID, display);
  std::string name;
  display.toUTF8String(name);
  return name.empty() ? tag : name;
}

}  // namespace

std::string chinese(std::string_view id) { return displayName(id, false); }

std::string english(std::string_view id) { return displayName(id, true); }

}  // namespace qy::LangNames
