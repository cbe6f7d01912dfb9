// EngineSurvey: what this machine can translate with, found without translating anything — the
// Apertium tools and their installed modes, the pairs a Debian package would add, and the pairs
// of the command providers in translators.json. `quillory-ext pairs` prints it, the doctor
// checks the target language against it, and the settings page lists the engines from it. Reads the file system only (no program is started);
// any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/translators_config.h"

namespace qy {

// Where Debian installs Apertium's modes; $QY_APERTIUM_MODES instead, for tests that install a
// pack of their own.
std::filesystem::path apertiumModesDirectory();

struct SurveyOptions {
  std::filesystem::path modesDirectory = apertiumModesDirectory();
  std::string searchPath;                 // where the Apertium tools are found; empty: $PATH
  std::filesystem::path translatorsFile;  // empty: translators.json in the storage root
};

struct PairEntry {
  std::string source;  // a language code, or "*" (any source) for a command provider
  std::string target;  // with the mode's region for a regional Apertium mode ("en-US")
  bool installed = false;
  std::string via;     // the Debian package, or the program and "（translators.json）"
  bool apertium = false;  // Apertium's pair (installed or to install), not a program's
  bool operator==(const PairEntry&) const = default;
};

struct EngineSurvey {
  bool apertiumEnabled = true;  // translators.json may turn Apertium off
  bool apertiumTools = false;   // `apertium` and `apertium-wblank-mode` found
  platform::TranslatorsConfig translators;
  std::optional<std::string> translatorsRefusal;  // why translators.json is not used
  std::vector<PairEntry> pairs;  // installed first, then by source and target
};

EngineSurvey surveyEngines(const SurveyOptions& options = {});

// "en → es  已安装  apertium-eng-spa".
std::string pairLine(const PairEntry& entry);

}  // namespace qy
