// The settings server's request input: a JSON body edited into the record, and a Cookie header
// searched for the secret. Bad input is an error or nothing, never a crash; an accepted edit
// keeps the window's ranges.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/settings_api.h"
#include "web/request_guard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (const std::string& cookie : qy::web::cookieValues(input, "qy_settings_8123"))
    if (cookie.size() > input.size()) std::abort();
  (void)qy::web::hostAllowed(input, 8123);

  const nlohmann::json body = nlohmann::json::parse(input, nullptr, false);
  if (body.is_discarded()) return 0;
  qy::Config cfg;
  if (qy::app::editConfig(cfg, body)) return 0;
  if (cfg.fontScale < 70 || cfg.fontScale > 150 || cfg.opacity < 40 || cfg.opacity > 100 ||
      !(cfg.firstPaintSeconds >= 0 && cfg.firstPaintSeconds <= 8) || cfg.maxChars != 60000)
    std::abort();
  if (cfg.accentColor.size() != 7 || cfg.accentColor[0] != '#') std::abort();
  qy::app::SettingsState state;
  state.cfg = cfg;
  (void)qy::app::stateJson(state);
  return 0;
}
