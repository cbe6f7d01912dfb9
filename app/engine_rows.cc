// The settings page's engine rows; see engine_rows.h.
#include "app/engine_rows.h"

#include "core/config/lang_names.h"
#include "core/translate/lang.h"
#include "platform/apertium_format.h"

namespace qy::app {
namespace {

std::string languageName(std::string_view code) {
  return code == "*" ? "任意语言" : LangNames::chinese(code);
}

// "英语 → 西班牙语、西班牙语 → 英语".
std::string pairList(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string out;
  for (const auto& [source, target] : pairs) {
    if (!out.empty()) out += "、";
    out += languageName(source) + " → " + languageName(target);
  }
  return out;
}

EngineRow apertiumRow(const EngineSurvey& survey) {
  if (!survey.apertiumEnabled)
    return {"Apertium", "没有使用：translators.json 里写了 \"apertium\": false", false};
  if (!survey.apertiumTools)
    return {"Apertium", "没有安装（sudo apt-get install apertium）", false};
  std::vector<std::pair<std::string, std::string>> installed;
  for (const PairEntry& entry : survey.pairs)
    if (entry.apertium && entry.installed) installed.emplace_back(entry.source, entry.target);
  if (installed.empty()) return {"Apertium", "还没有安装任何语言对", false};
  return {"Apertium", pairList(installed), true};
}

}  // namespace

std::vector<EngineRow> engineRows(const EngineSurvey& survey) {
  std::vector<EngineRow> rows;
  if (survey.translatorsRefusal)
    rows.push_back({"translators.json", "没有使用：" + *survey.translatorsRefusal, false});
  rows.push_back(apertiumRow(survey));
  for (const platform::CommandSpec& command : survey.translators.commands) {
    if (command.pairs.empty()) rows.push_back({command.command.front(), "没有列出语言对", false});
    else rows.push_back({command.command.front(), pairList(command.pairs), true});
  }
  for (const platform::ServerSpec& server : survey.translators.servers) {
    std::string detail;
    if (server.api == platform::ServerApi::libretranslate)
      detail = server.pairs.empty() ? "它支持的所有语言" : pairList(server.pairs);
    else
      detail = "模型 " + server.model + "：" + (server.pairs.empty() ? "所有语言" : pairList(server.pairs));
    rows.push_back({platform::serverName(server.api, server.url), detail, true});
  }
  for (const std::string& refusal : survey.translators.serverRefusals)
    rows.push_back({"translators.json", refusal, false});
  return rows;
}

bool apertiumTranslatesInto(const EngineSurvey& survey, std::string_view target) {
  if (!survey.apertiumEnabled || !survey.apertiumTools) return false;
  const std::string wanted = platform::ApertiumFormat::languageCode(Lang::base(target));
  for (const PairEntry& entry : survey.pairs) {
    if (entry.apertium && entry.installed &&
        platform::ApertiumFormat::languageCode(Lang::base(entry.target)) == wanted)
      return true;
  }
  return false;
}

}  // namespace qy::app
