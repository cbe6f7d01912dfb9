// Decoding, encoding, equality and the translation signature of Config.
#include "core/config/config.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "core/base/unicode.h"

namespace qy {
namespace {

using Json = nlohmann::json;

void readString(const Json& object, const char* key, std::string& field) {
  auto it = object.find(key);
  if (it != object.end() && it->is_string()) field = it->get<std::string>();
}

// A whole number within the signed 64-bit range; a float with a zero fraction counts as whole.
void readInteger(const Json& object, const char* key, int64_t& field) {
  auto it = object.find(key);
  if (it == object.end()) return;
  if (it->is_number_integer() && !it->is_number_unsigned()) {
    field = it->get<int64_t>();
  } else if (it->is_number_unsigned()) {
    auto value = it->get<uint64_t>();
    if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      field = static_cast<int64_t>(value);
  } else if (it->is_number_float()) {
    double value = it->get<double>();
    // A number too long for a 64-bit integer arrives here rounded, so a double of exactly
    // -2^63 may stand for -9223372036854775809: both ends of the range are left out.
    if (std::isfinite(value) && value == std::trunc(value) && value > -9223372036854775808.0 &&
        value < 9223372036854775808.0)
      field = static_cast<int64_t>(value);
  }
}

void readDouble(const Json& object, const char* key, double& field) {
  auto it = object.find(key);
  if (it != object.end() && it->is_number()) field = it->get<double>();
}

void readBool(const Json& object, const char* key, bool& field) {
  auto it = object.find(key);
  if (it != object.end() && it->is_boolean()) field = it->get<bool>();
}

}  // namespace

bool Config::operator==(const Config& other) const {
  auto same = [](const std::string& a, const std::string& b) {
    return Unicode::canonicallyEqual(a, b);
  };
  return same(mode, other.mode) && same(trigger, other.trigger) &&
         same(targetLanguage, other.targetLanguage) && same(style, other.style) &&
         same(accentColor, other.accentColor) && fontScale == other.fontScale &&
         opacity == other.opacity && same(darkMode, other.darkMode) &&
         same(darkBackground, other.darkBackground) &&
         firstPaintSeconds == other.firstPaintSeconds && maxChars == other.maxChars &&
         autoReload == other.autoReload && cacheEpoch == other.cacheEpoch;
}

std::string Config::translationSignature() const {
  const std::string separator = "\x01";
  return targetLanguage + separator + "apple" + separator + "system" + separator +
         std::to_string(cacheEpoch) + separator + (mode == "replace" ? "r" : "b");
}

std::optional<Config> Config::decode(std::string_view json) {
  // Only the top-level members are ever used; nested containers are dropped while parsing so
  // that a huge or deeply nested file costs no more memory than its scalars.
  const Json::parser_callback_t keepTopLevel = [](int depth, Json::parse_event_t event, Json&) {
    bool nested = event == Json::parse_event_t::object_start ||
                  event == Json::parse_event_t::array_start;
    return !(nested && depth >= 1);
  };
  Json object = Json::parse(json.begin(), json.end(), keepTopLevel, /*allow_exceptions=*/false);
  if (!object.is_object()) return std::nullopt;
  Config cfg;
  readString(object, "mode", cfg.mode);
  readString(object, "trigger", cfg.trigger);
  readString(object, "targetLanguage", cfg.targetLanguage);
  readString(object, "style", cfg.style);
  readString(object, "accentColor", cfg.accentColor);
  readInteger(object, "fontScale", cfg.fontScale);
  readInteger(object, "opacity", cfg.opacity);
  readString(object, "darkMode", cfg.darkMode);
  readString(object, "darkBackground", cfg.darkBackground);
  readDouble(object, "firstPaintSeconds", cfg.firstPaintSeconds);
  readInteger(object, "maxChars", cfg.maxChars);
  readBool(object, "autoReload", cfg.autoReload);
  readInteger(object, "cacheEpoch", cfg.cacheEpoch);
  return cfg;
}

std::string Config::encode() const {
  // nlohmann's object keeps its keys sorted; numbers are written in the shortest form that
  // reads back as the same value.
  Json object = {
      {"mode", mode},
      {"trigger", trigger},
      {"targetLanguage", targetLanguage},
      {"style", style},
      {"accentColor", accentColor},
      {"fontScale", fontScale},
      {"opacity", opacity},
      {"darkMode", darkMode},
      {"darkBackground", darkBackground},
      {"firstPaintSeconds", firstPaintSeconds},
      {"maxChars", maxChars},
      {"autoReload", autoReload},
      {"cacheEpoch", cacheEpoch},
  };
  return object.dump(2, ' ', /*ensure_ascii=*/false, Json::error_handler_t::replace) + "\n";
}

}  // namespace qy
