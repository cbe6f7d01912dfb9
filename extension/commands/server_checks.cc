// Doctor's probes of the local translation servers, and the pairs they serve.
#include "extension/commands/server_checks.h"

#include <algorithm>

#include "core/translate/lang.h"
#include "platform/server_messages.h"
#include "platform/server_provider.h"

namespace qy {
namespace {

using platform::ServerApi;
using platform::ServerSpec;

// Ollama names a model pulled without a tag "name:latest".
bool hasModel(const std::vector<std::string>& models, const std::string& model) {
  return std::any_of(models.begin(), models.end(), [&](const std::string& name) {
    return name == model || name == model + ":latest";
  });
}

std::string via(const ServerSpec& spec) {
  const std::string name = platform::serverName(spec.api, spec.url);
  return spec.model.empty() ? name : name + "的 " + spec.model;
}

}  // namespace

std::vector<Finding> checkServers(const platform::TranslatorsConfig& config, std::string_view target,
                                  const ServerCheckOptions& options) {
  std::vector<Finding> findings;
  for (const auto& refusal : config.serverRefusals)
    findings.push_back({FindingLevel::problem, "translators.json：" + refusal});
  for (const ServerSpec& spec : config.servers) {
    const std::string name = platform::serverName(spec.api, spec.url);
    const platform::ServerSurvey survey =
        platform::surveyServer(spec.api, spec.url, spec.apiKey, options.surveyLimit);
    if (survey.error) {
      findings.push_back({FindingLevel::problem, *survey.error});
      continue;
    }
    if (spec.api != ServerApi::libretranslate && !hasModel(survey.models, spec.model)) {
      findings.push_back({FindingLevel::problem, platform::ServerMessages::modelMissing(spec.api, spec.url, spec.model)});
      continue;
    }
    findings.push_back({FindingLevel::ok, spec.api == ServerApi::libretranslate
                                              ? name + "在运行，提供 " + std::to_string(survey.pairs.size()) + " 个语言对"
                                              : name + "在运行，有模型 " + spec.model});
    // One tiny translation into the target, from English (or into it from German).
    const std::string into = target.empty() ? "zh-Hans" : std::string(target);
    const bool english = Lang::base(into) == "en";
    const std::string source = english ? "de" : "en";
    const std::string sample = english ? "Guten Morgen" : "Good morning";
    platform::ServerProviderOptions limits;
    limits.requestLimit = options.translateLimit;
    limits.firstRequestLimit = options.translateLimit;
    limits.surveyLimit = options.surveyLimit;
    platform::ServerProvider provider(spec, limits);
    if (provider.status(source, into) != PairStatus::installed) {
      findings.push_back({FindingLevel::note, name + "不提供 " + source + " → " + into + "，没有试译"});
      continue;
    }
    const BatchResult result = provider.session(source, into)->translations(
        {{sample, "0"}}, TranslationDeadline::after(options.translateLimit));
    if (result.error)
      findings.push_back({FindingLevel::problem, name + "试译失败：" + *result.error});
    else if (result.responses.empty())
      findings.push_back({FindingLevel::problem, name + "试译失败：" + result.partialError.value_or("没有拿到译文")});
    else
      findings.push_back({FindingLevel::ok, name + "试译：" + sample + " → " + result.responses[0].targetText});
  }
  return findings;
}

std::vector<PairEntry> serverPairs(const platform::TranslatorsConfig& config,
                                   std::vector<std::string>& problems,
                                   const ServerCheckOptions& options) {
  std::vector<PairEntry> pairs;
  for (const auto& refusal : config.serverRefusals) problems.push_back("translators.json：" + refusal);
  for (const ServerSpec& spec : config.servers) {
    std::vector<std::pair<std::string, std::string>> served = spec.pairs;
    if (served.empty() && spec.api != ServerApi::libretranslate) served = {{"*", "*"}};
    if (served.empty()) {
      const platform::ServerSurvey survey =
          platform::surveyServer(spec.api, spec.url, spec.apiKey, options.surveyLimit);
      if (survey.error) problems.push_back(*survey.error);
      served = survey.pairs;
    }
    for (const auto& [source, target] : served) pairs.push_back({source, target, true, via(spec)});
  }
  return pairs;
}

}  // namespace qy
