// Where to look for local translation servers, and what is offered for each; see server_probe.h.
#include "app/server_probe.h"

#include <algorithm>
#include <cstdlib>

namespace qy::app {
namespace {

using platform::ServerApi;

constexpr std::string_view kSpaces = " \t\r\n";

std::string_view trimmed(std::string_view text) {
  const size_t begin = text.find_first_not_of(kSpaces);
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(kSpaces) - begin + 1);
}

std::string withoutTrailingSlash(std::string_view url) {
  while (url.ends_with('/')) url.remove_suffix(1);
  return std::string(url);
}

// "127.0.0.1:11434" of "http://127.0.0.1:11434/v1".
std::string hostPort(std::string_view url) {
  if (const size_t scheme = url.find("://"); scheme != std::string_view::npos)
    url.remove_prefix(scheme + 3);
  return std::string(url.substr(0, url.find('/')));
}

}  // namespace

std::vector<ProbeTarget> usualTargets() {
  return {
      {ServerApi::ollama, "http://127.0.0.1:11434", "Ollama"},
      {ServerApi::libretranslate, "http://127.0.0.1:5000", "LibreTranslate"},
      {ServerApi::openai, "http://127.0.0.1:8080/v1", "llama.cpp"},
      {ServerApi::openai, "http://127.0.0.1:1234/v1", "LM Studio"},
  };
}

std::vector<ProbeTarget> targetsFromText(std::string_view text) {
  std::vector<ProbeTarget> targets;
  while (!(text = trimmed(text)).empty()) {
    const size_t end = std::min(text.find_first_of(kSpaces), text.size());
    const std::string_view item = text.substr(0, end);
    text.remove_prefix(end);
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos || equals + 1 == item.size()) continue;
    const std::optional<ServerApi> api = platform::parseApi(item.substr(0, equals));
    if (!api) continue;
    targets.push_back({*api, withoutTrailingSlash(item.substr(equals + 1)),
                       std::string(platform::apiDisplayName(*api))});
  }
  return targets;
}

std::vector<ProbeTarget> defaultTargets() {
  const char* text = std::getenv("QY_SERVER_ADDRESSES");
  return text && *text ? targetsFromText(text) : usualTargets();
}

std::vector<ProbeTarget> targetsAt(std::string_view address) {
  const std::string url = withoutTrailingSlash(trimmed(address));
  const auto named = [](ServerApi api, std::string at) {
    return ProbeTarget{api, std::move(at), std::string(platform::apiDisplayName(api))};
  };
  if (url.ends_with("/v1")) return {named(ServerApi::openai, url)};
  return {named(ServerApi::ollama, url), named(ServerApi::openai, url + "/v1"),
          named(ServerApi::libretranslate, url)};
}

std::optional<FoundServer> foundServer(const ProbeTarget& target,
                                       const platform::ServerSurvey& survey) {
  // An answer that is not this API's (another kind of server on the port) is no offer.
  if (!survey.reachable || survey.error) return std::nullopt;
  FoundServer found{target.api, target.url, target.label + "（" + hostPort(target.url) + "）", {},
                    {}, false};
  if (target.api == ServerApi::libretranslate) {
    found.choosable = !survey.pairs.empty();
    found.detail = found.choosable ? std::to_string(survey.pairs.size()) + " 个语言对"
                                   : "没有装语言模型";
    return found;
  }
  found.models = survey.models;
  found.choosable = !found.models.empty();
  if (found.choosable) found.detail = std::to_string(found.models.size()) + " 个模型";
  else if (target.api == ServerApi::ollama) found.detail = "还没有模型：先运行 ollama pull qwen2.5:7b";
  else found.detail = "没有列出模型";
  return found;
}

std::string probeProgressText(size_t asked, size_t total) {
  return "正在查找本机翻译服务…（已问 " + std::to_string(asked) + "/" + std::to_string(total) +
         " 个地址）";
}

std::string probeOutcomeText(size_t found) {
  if (found == 0)
    return "没有找到本机翻译服务。装好 Ollama 后运行 ollama pull qwen2.5:7b，或者运行 pip install "
           "libretranslate 再运行 libretranslate，然后再找一次。";
  return "找到 " + std::to_string(found) + " 个本机翻译服务，选一个来用：";
}

std::string choiceText(ServerApi api, std::string_view url, std::string_view model,
                       bool preferEveryPair) {
  std::string server = platform::serverName(api, url);
  if (!model.empty()) server += "的 " + std::string(model);
  return "已写入 translators.json：" +
         (preferEveryPair ? "所有语言都用 " + server + " 翻译。"
                          : "Apertium 翻译不了的语言用 " + server + " 翻译。");
}

std::string addressURL(std::string_view typed) {
  const std::string_view address = trimmed(typed);
  if (address.find("://") != std::string_view::npos) return std::string(address);
  return "http://" + std::string(address);
}

}  // namespace qy::app
