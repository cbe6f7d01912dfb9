// The process's defaults for the extension's environment.
#include "extension/bridge/extension_environment.h"

#include "core/config/config_store.h"
#include "core/config/log.h"
#include "platform/app_launcher.h"

namespace qy {

ExtensionEnvironment withDefaults(ExtensionEnvironment environment) {
  if (!environment.engine) environment.engine = &Engine::shared();
  if (!environment.log) environment.log = [](std::string_view line) { Log::write(line); };
  if (!environment.loadConfig) environment.loadConfig = [] { return ConfigStore::load(); };
  if (!environment.saveConfig) {
    environment.saveConfig = [](const Config& cfg) { return ConfigStore::save(cfg); };
  }
  if (!environment.openApp) environment.openApp = [] { platform::startSettingsApp(); };
  return environment;
}

}  // namespace qy
