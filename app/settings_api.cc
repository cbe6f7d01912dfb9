// The settings page's JSON API; see settings_api.h.
#include "app/settings_api.h"

#include <algorithm>
#include <cmath>

#include "app/settings_texts.h"
#include "core/config/lang_names.h"

namespace qy::app {
namespace {

using nlohmann::json;

// The window's ranges: the steppers' and the slider's ends and steps.
constexpr int64_t kFontScaleMin = 70, kFontScaleMax = 150, kFontScaleStep = 5;
constexpr int64_t kOpacityMin = 40, kOpacityMax = 100, kOpacityStep = 10;
constexpr double kFirstPaintMin = 0, kFirstPaintMax = 8, kFirstPaintStep = 0.5;

// A stepper only ever holds its lowest value plus whole steps; a number typed between two steps
// goes to the nearer one (halves up), then the ends hold.
int64_t onSteps(int64_t value, int64_t low, int64_t high, int64_t step) {
  const int64_t held = std::clamp(value, low, high);
  return std::min(high, low + (held - low + step / 2) / step * step);
}

json choices(std::initializer_list<std::pair<const char*, const char*>> list) {
  json out = json::array();
  for (const auto& [name, value] : list) out.push_back({{"name", name}, {"value", value}});
  return out;
}

std::optional<int64_t> wholeNumber(const json& value) {
  if (value.is_number_integer()) return value.get<int64_t>();
  if (value.is_number_float()) {
    const double number = value.get<double>();
    // Out-of-range values are clamped afterwards; this only keeps the conversion defined.
    if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 1e15)
      return static_cast<int64_t>(number);
  }
  return std::nullopt;
}

json engineJson(const SettingsState& state) {
  json rows = json::array();
  for (const EngineRow& row : state.engines)
    rows.push_back({{"name", row.name}, {"detail", row.detail}, {"usable", row.usable}});
  json found = json::array();
  for (const FoundServer& server : state.found)
    found.push_back({{"api", platform::apiName(server.api)},
                     {"url", server.url},
                     {"title", server.title},
                     {"detail", server.detail},
                     {"models", server.models},
                     {"choosable", server.choosable}});
  return {{"rows", rows},
          {"preferServer", state.preferServer},
          {"probing", state.probing},
          {"probeStatus", state.probeStatus},
          {"found", found},
          {"message", state.engineMessage}};
}

// The string member `key` of `body`, nothing when absent; `wrong` is set when it has another
// type.
std::optional<std::string> stringMember(const json& body, const char* key, bool& wrong) {
  const auto found = body.find(key);
  if (found == body.end()) return std::nullopt;
  if (!found->is_string()) {
    wrong = true;
    return std::nullopt;
  }
  return found->get<std::string>();
}

}  // namespace

json stateJson(const SettingsState& state) {
  const Config& cfg = state.cfg;
  json languages = json::array();
  json sources = json::array();
  for (const LangNames::Entry& entry : LangNames::common) {
    json item = {{"name", entry.name}, {"value", entry.id}};
    languages.push_back(item);
    // The source picker never offers the target language.
    if (entry.id != cfg.targetLanguage) sources.push_back(item);
  }
  return {
      {"version", state.version},
      {"cfg", json::parse(cfg.encode())},
      {"extensionState", state.extensionState},
      {"extensionEnabled", state.extensionEnabled},
      {"packSource", state.packSource},
      {"packStatus", state.packStatus},
      {"packReady", state.packReady},
      {"downloading", state.downloading},
      {"packResult", state.packResult},
      {"packFailed", state.packFailed},
      {"testResult", state.testResult},
      {"testing", state.testing},
      {"packDownloadable", state.packDownloadable},
      {"packHelp", state.packHelp},
      {"engines", engineJson(state)},
      {"cacheInfo", state.cacheInfo},
      {"saveError", state.saveError.empty() ? json(nullptr) : json(state.saveError)},
      {"choices",
       {{"mode", choices({{"双语对照", "bilingual"}, {"仅译文", "replace"}, {"关闭", "off"}})},
        {"trigger",
         choices({{"打开邮件自动翻译", "auto"}, {"点横幅上的“翻译”才翻译", "manual"}})},
        {"targetLanguage", languages},
        {"packSource", sources},
        {"darkMode", choices({{"跟随系统外观", "auto"}, {"始终深色", "on"}, {"关闭", "off"}})},
        {"style", choices({{"左侧色条", "sidebar"}, {"浅色底", "highlight"}, {"无装饰", "plain"}})}}},
      {"accentPicker", pickerValue(colorFromHex(cfg.accentColor))},
      {"darkBackgroundPicker", pickerValue(colorFromHex(cfg.darkBackground))},
      {"fontScaleText", fontScaleText(cfg.fontScale)},
      {"opacityText", opacityText(cfg.opacity)},
      {"firstPaintText", firstPaintText(cfg.firstPaintSeconds)},
      {"showDarkBackground", cfg.darkMode != "off"},
  };
}

std::string answerText(const json& answer) {
  return answer.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<std::string> editConfig(Config& cfg, const json& fields) {
  if (!fields.is_object()) return "expected an object of settings";
  for (const auto& [key, value] : fields.items()) {
    std::string* text = nullptr;
    if (key == "mode") text = &cfg.mode;
    else if (key == "trigger") text = &cfg.trigger;
    else if (key == "targetLanguage") text = &cfg.targetLanguage;
    else if (key == "style") text = &cfg.style;
    else if (key == "darkMode") text = &cfg.darkMode;
    if (text) {
      if (!value.is_string()) return key + " must be a string";
      *text = value.get<std::string>();
    } else if (key == "accentColor" || key == "darkBackground") {
      if (!value.is_string()) return key + " must be a string";
      // Whatever the picker hands over is stored as "#RRGGBB".
      (key == "accentColor" ? cfg.accentColor : cfg.darkBackground) =
          hexString(colorFromHex(value.get<std::string>()));
    } else if (key == "fontScale" || key == "opacity") {
      const std::optional<int64_t> number = wholeNumber(value);
      if (!number) return key + " must be a whole number";
      if (key == "fontScale")
        cfg.fontScale = onSteps(*number, kFontScaleMin, kFontScaleMax, kFontScaleStep);
      else cfg.opacity = onSteps(*number, kOpacityMin, kOpacityMax, kOpacityStep);
    } else if (key == "firstPaintSeconds") {
      if (!value.is_number() || !std::isfinite(value.get<double>()))
        return key + " must be a number";
      // The slider moves in half seconds.
      const double held = std::clamp(value.get<double>(), kFirstPaintMin, kFirstPaintMax);
      cfg.firstPaintSeconds = std::round(held / kFirstPaintStep) * kFirstPaintStep;
    } else if (key == "autoReload") {
      if (!value.is_boolean()) return key + " must be true or false";
      cfg.autoReload = value.get<bool>();
    } else {
      return key + " cannot be changed here";
    }
  }
  return std::nullopt;
}

std::optional<std::string> applySettings(SettingsModel& model, const json& fields) {
  if (!fields.is_object()) return "expected an object of settings";
  // Checked on a copy first, so a bad field changes nothing; then applied to the record as it
  // is at that moment.
  Config trial;
  if (std::optional<std::string> error = editConfig(trial, fields)) return error;
  model.edit([&fields](Config& cfg) { (void)editConfig(cfg, fields); });
  return std::nullopt;
}

std::optional<std::string> applyPackSource(SettingsModel& model, const json& body) {
  if (!body.is_object() || !body.contains("id") || !body["id"].is_string())
    return "expected {\"id\": language}";
  model.setPackSource(body["id"].get<std::string>());
  return std::nullopt;
}

std::optional<std::string> applyEngineRequest(SettingsModel& model, const std::string& name,
                                              const json& body) {
  if (!body.is_object()) return "expected an object";
  bool wrong = false;
  if (name == "find") {
    const std::optional<std::string> address = stringMember(body, "address", wrong);
    if (wrong) return "address must be a string";
    model.findServers(address.value_or(""));
  } else if (name == "choose") {
    const std::optional<std::string> api = stringMember(body, "api", wrong);
    const std::optional<std::string> url = stringMember(body, "url", wrong);
    const std::optional<std::string> chosen = stringMember(body, "model", wrong);
    const std::optional<platform::ServerApi> parsed =
        api ? platform::parseApi(*api) : std::nullopt;
    if (wrong || !parsed || !url) return "expected {\"api\", \"url\", \"model\"}";
    model.chooseServer(*parsed, *url, chosen.value_or(""));
  } else if (name == "prefer") {
    if (!body.contains("on") || !body["on"].is_boolean()) return "expected {\"on\": boolean}";
    model.setPreferServer(body["on"].get<bool>());
  } else {
    return "unknown engines request";
  }
  return std::nullopt;
}

bool runAction(SettingsModel& model, const std::string& name) {
  if (name == "recheck") model.refreshExtensionState();
  else if (name == "openMail") model.openMail();
  else if (name == "download") model.startDownload();
  else if (name == "test") model.runTest();
  else if (name == "clearCache") model.clearCache();
  else if (name == "openLog") model.openLog();
  else if (name == "shown") model.refreshPackStatus();
  else if (name == "activate") {
    model.reloadSettings();
    model.refreshExtensionState();
    model.refreshCacheInfo();
    model.refreshEngines();
  } else {
    return false;
  }
  return true;
}

}  // namespace qy::app
