// Listing the translation engines and their pairs.
#include "platform/engine_survey.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <tuple>

#include "core/config/paths.h"
#include "platform/apertium_format.h"
#include "platform/apertium_provider.h"
#include "platform/child_process.h"

namespace qy {

std::filesystem::path apertiumModesDirectory() {
  const char* directory = std::getenv("QY_APERTIUM_MODES");
  return directory && *directory ? directory : "/usr/share/apertium/modes";
}

namespace {

using platform::ApertiumFormat::ModeName;
using platform::ApertiumProvider;

// The Apertium modes installed in `directory`, plain pairs only.
std::vector<ModeName> installedModes(const std::filesystem::path& directory) {
  std::vector<ModeName> modes;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().extension() != ".mode") continue;
    if (auto mode = platform::ApertiumFormat::parseModeName(it->path().stem().string()))
      modes.push_back(std::move(*mode));
  }
  return modes;
}

std::string withVariant(const ModeName& mode) {
  return mode.variant.empty() ? mode.target : mode.target + "-" + mode.variant;
}

}  // namespace

EngineSurvey surveyEngines(const SurveyOptions& options) {
  EngineSurvey survey;
  platform::TranslatorsFile file = platform::TranslatorsConfig::read(
      options.translatorsFile.empty() ? Paths::root() / "translators.json" : options.translatorsFile);
  survey.translators = std::move(file.config);
  survey.translatorsRefusal = std::move(file.refusal);
  survey.apertiumEnabled = survey.translators.apertium;
  survey.apertiumTools = platform::findProgram("apertium", options.searchPath) &&
                         platform::findProgram("apertium-wblank-mode", options.searchPath);

  if (survey.apertiumEnabled) {
    std::set<std::pair<std::string, std::string>> installed;
    if (survey.apertiumTools) {
      for (const ModeName& mode : installedModes(options.modesDirectory)) {
        const auto package = ApertiumProvider::packageFor(mode.source, mode.target);
        survey.pairs.push_back({mode.source, withVariant(mode), true,
                                package ? std::string(*package) : "Apertium（" + mode.name + "）",
                                true});
        if (mode.variant.empty()) installed.emplace(mode.source, mode.target);
      }
    }
    for (const auto& known : ApertiumProvider::knownPairs()) {
      if (installed.count({std::string(known.source), std::string(known.target)})) continue;
      // Without the tools a pair needs the `apertium` package as well.
      survey.pairs.push_back({std::string(known.source), std::string(known.target), false,
                              (survey.apertiumTools ? "" : "apertium ") + std::string(known.package),
                              true});
    }
  }
  for (const auto& command : survey.translators.commands) {
    for (const auto& [source, target] : command.pairs)
      survey.pairs.push_back({source, target, true, command.command.front() + "（translators.json）"});
  }
  std::stable_sort(survey.pairs.begin(), survey.pairs.end(), [](const PairEntry& a, const PairEntry& b) {
    return std::tie(b.installed, a.source, a.target) < std::tie(a.installed, b.source, b.target);
  });
  return survey;
}

std::string pairLine(const PairEntry& entry) {
  return entry.source + " → " + entry.target + "  " + (entry.installed ? "已安装" : "可安装") + "  " +
         entry.via;
}

}  // namespace qy
