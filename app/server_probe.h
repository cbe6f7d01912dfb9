// Finding the translation servers a user already runs on this machine: the usual local
// addresses to ask (Ollama, LibreTranslate, llama.cpp's server, LM Studio), the addresses to ask
// for one the user types, and what the settings page offers for each server that answered.
// The asking itself is platform::surveyServer(), bounded by kProbeLimit. Pure functions; any
// thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/local_server.h"

namespace qy::app {

// How long one address may take to answer: a server on this machine answers its listing at
// once, even while it is busy translating; a port nobody listens on is refused at once.
inline constexpr std::chrono::milliseconds kProbeLimit{3000};

struct ProbeTarget {
  platform::ServerApi api;
  std::string url;    // as it would be written into translators.json
  std::string label;  // "Ollama", "llama.cpp", …
  bool operator==(const ProbeTarget&) const = default;
};

// Ollama 127.0.0.1:11434, LibreTranslate 127.0.0.1:5000, llama.cpp 127.0.0.1:8080/v1 and
// LM Studio 127.0.0.1:1234/v1.
std::vector<ProbeTarget> usualTargets();
// Targets written as "API=URL" items separated by white space ("ollama=http://127.0.0.1:4000
// openai=http://127.0.0.1:4001/v1"), as QY_SERVER_ADDRESSES holds them; items that are not
// such are skipped.
std::vector<ProbeTarget> targetsFromText(std::string_view text);
// $QY_SERVER_ADDRESSES when set, else the usual ones.
std::vector<ProbeTarget> defaultTargets();
// The targets for an address the user typed: every API at it (OpenAI-compatible at its "/v1"),
// or only OpenAI-compatible when it already ends in "/v1".
std::vector<ProbeTarget> targetsAt(std::string_view address);

// A server that answered, as the page offers it.
struct FoundServer {
  platform::ServerApi api;
  std::string url;
  std::string title;                // "Ollama（127.0.0.1:11434）"
  std::string detail;               // what it has, or what is missing
  std::vector<std::string> models;  // to choose from (chat APIs)
  bool choosable = false;
  bool operator==(const FoundServer&) const = default;
};
// Nothing when nothing usable answered at the target's address.
std::optional<FoundServer> foundServer(const ProbeTarget& target,
                                       const platform::ServerSurvey& survey);

// The page's texts for a search and a choice.
std::string probeProgressText(size_t asked, size_t total);  // "正在查找…（已问 1/4 个地址）"
std::string probeOutcomeText(size_t found);
// What a choice wrote: "已写入 translators.json：…".
std::string choiceText(platform::ServerApi api, std::string_view url, std::string_view model,
                       bool preferEveryPair);
inline constexpr const char* kTestBusyText = "另一个测试翻译还没结束，等它结束后再点“测试翻译”。";
// An address as typed, with "http://" put in front when it names no scheme.
std::string addressURL(std::string_view typed);

}  // namespace qy::app
