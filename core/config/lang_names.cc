// Chinese display names through ICU's uloc API.
#include "core/config/lang_names.h"

#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <string>

namespace qy::LangNames {
namespace {

constexpr const char* kDisplayLocale = "zh_Hans";

std::string toUtf8(const UChar* text, int32_t length) {
  std::string out(static_cast<size_t>(length) * 3 + 1, '\0');
  int32_t written = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &written, text, length, &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<size_t>(written));
  return out;
}

}  // namespace

std::string chinese(std::string_view id) {
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
  uloc_getDisplayLanguage(localeID, kDisplayLocale, buffer, 256, &status);
  if (U_FAILURE(status) || status == U_USING_DEFAULT_WARNING) return tag;

  status = U_ZERO_ERROR;
  int32_t length = uloc_getDisplayName(localeID, kDisplayLocale, buffer, 256, &status);
  if (U_FAILURE(status) || length <= 0 || length >= 256) return tag;
  std::string name = toUtf8(buffer, length);
  return name.empty() ? tag : name;
}

}  // namespace qy::LangNames
