// The pairs command of quillory-ext.
#include "extension/commands/pairs_command.h"

#include "extension/commands/command_help.h"
#include "extension/commands/server_checks.h"

namespace qy {

int runPairs(const std::vector<std::string>& args, const SurveyOptions& options, std::FILE* out,
             std::FILE* err) {
  if (!args.empty()) {
    return reportUsageError(err, "pairs", UsageMessage::stray(args[0]));
  }
  const EngineSurvey survey = surveyEngines(options);
  if (!survey.apertiumEnabled)
    std::fputs("quillory-ext pairs：translators.json 关闭了 Apertium（\"apertium\": false）\n", err);
  else if (!survey.apertiumTools)
    std::fputs("quillory-ext pairs：没有安装 Apertium（Debian 软件包 apertium）\n", err);
  for (const PairEntry& entry : survey.pairs) std::fprintf(out, "%s\n", pairLine(entry).c_str());
  // The local translation servers, after everything else (they are consulted last).
  std::vector<std::string> problems;
  for (const PairEntry& entry : serverPairs(survey.translators, problems))
    std::fprintf(out, "%s\n", pairLine(entry).c_str());
  for (const auto& problem : problems) std::fprintf(err, "quillory-ext pairs：%s\n", problem.c_str());
  return std::fflush(out) == 0 ? 0 : 1;
}

}  // namespace qy
