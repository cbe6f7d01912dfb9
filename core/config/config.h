// Config: the one record of user settings, shared by the extension and the settings application
// and persisted as config.json. A plain value: copy it freely. Reading is tolerant per key (a
// missing or mistyped value keeps its default); nothing here validates or normalises values —
// each reader applies its own fallback.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qy {

struct Config {
  std::string mode = "bilingual";      // "bilingual", "replace", "off"; other texts read as bilingual
  std::string trigger = "auto";        // "auto", "manual"
  std::string targetLanguage = "zh-Hans";
  std::string style = "sidebar";       // "sidebar", "highlight", "plain"
  std::string accentColor = "#34A77A";
  int64_t fontScale = 100;             // percent
  int64_t opacity = 100;               // percent
  std::string darkMode = "auto";       // "auto", "on", "off"
  std::string darkBackground = "#1E1E1E";
  double firstPaintSeconds = 2.5;
  int64_t maxChars = 60000;
  bool autoReload = true;
  int64_t cacheEpoch = 0;

  // Strings compare by canonical equivalence, numbers and booleans exactly.
  bool operator==(const Config& other) const;

  // Changes exactly when targetLanguage, cacheEpoch, or "replace" against any other mode
  // changes; it is hashed into every cache key.
  std::string translationSignature() const;

  // Tolerant decoding of config.json's content. Nothing when the text is not a JSON object.
  static std::optional<Config> decode(std::string_view json);
  // The thirteen members, keys sorted, one member per line, UTF-8, ending with a line feed.
  std::string encode() const;
};

}  // namespace qy
