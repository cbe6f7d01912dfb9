// What the extension's handler and panel reach outside themselves: the engine, the log, the
// settings store and the settings application. The defaults are the process's own (the shared
// engine, Log::write, ConfigStore, starting `quillory`); tests hand in an engine of their own
// and collect the rest.
#pragma once

#include <functional>
#include <string_view>

#include "core/config/config.h"
#include "core/engine/engine.h"

namespace qy {

struct ExtensionEnvironment {
  Engine* engine = nullptr;                          // null: Engine::shared()
  std::function<void(std::string_view)> log;         // empty: Log::write
  std::function<Config()> loadConfig;                // empty: ConfigStore::load
  std::function<bool(const Config&)> saveConfig;     // empty: ConfigStore::save
  std::function<void()> openApp;                     // empty: start the settings application
};

// `environment` with every default filled in.
ExtensionEnvironment withDefaults(ExtensionEnvironment environment);

}  // namespace qy
