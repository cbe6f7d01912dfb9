// LangNames: the fixed list of target languages offered to the user, and Simplified Chinese names
// for any language code (from ICU's locale data), and English ones for language models. Constant data and pure functions; any thread.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace qy::LangNames {

struct Entry {
  std::string_view id;    // stored in Config::targetLanguage
  std::string_view name;  // the language's own name, as the picker shows it
};

inline constexpr std::array<Entry, 12> common = {{
    {"zh-Hans", "简体中文"},
    {"zh-Hant", "繁體中文"},
    {"en", "English"},
    {"ja", "日本語"},
    {"ko", "한국어"},
    {"fr", "Français"},
    {"de", "Deutsch"},
    {"es", "Español"},
    {"pt", "Português"},
    {"it", "Italiano"},
    {"ru", "Русский"},
    {"ar", "العربية"},
}};

// The display name of a language identifier in Simplified Chinese, dialects by their own names
// ("en" → "英语", "zh-Hant" → "繁体中文", "en-GB" → "英国英语", "pt-BR" → "巴西葡萄牙语"); the
// identifier itself when the locale data has no name for it.
std::string chinese(std::string_view id);

// The same in English ("zh-Hans" → "Simplified Chinese", "en-GB" → "British English"), for
// telling a language model which languages it translates between; the identifier itself when
// the locale data has no name for it.
std::string english(std::string_view id);

}  // namespace qy::LangNames
