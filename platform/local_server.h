// Local translation servers: the engines a user already runs on this machine (Ollama, an
// OpenAI-compatible server such as llama.cpp's llama-server or LM Studio, LibreTranslate), as
// translators.json lists them under "servers":
//   {"servers": [{"api": "ollama", "url": "http://127.0.0.1:11434", "model": "qwen2.5:7b"},
//                {"api": "openai", "url": "http://127.0.0.1:8080/v1", "model": "qwen2.5-7b-instruct"},
//                {"api": "libretranslate", "url": "http://127.0.0.1:5000", "pairs": [["en", "zh-Hans"]]}]}
// Optional members: "pairs" (default: every pair for the chat APIs, the server's own list for
// LibreTranslate), "apiKey", "timeoutSeconds" (per request).
//
// This header has what the settings application and the commands share: the entry as a value,
// the loopback rule (platform/local_http.h) as a refusal text, how messages name a server, and a
// survey of what a server serves. The providers that translate through servers are in
// platform/server_provider.h. Pure functions and plain values; any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qy::platform {

enum class ServerApi { ollama, openai, libretranslate };

// "ollama", "openai", "libretranslate": as translators.json writes it.
std::string_view apiName(ServerApi api);
// The api of an "api" member (exact, lower case); nothing for any other text.
std::optional<ServerApi> parseApi(std::string_view name);
// How messages and pages name the kind of server: "Ollama", "OpenAI 兼容服务", "LibreTranslate".
std::string_view apiDisplayName(ServerApi api);

// One entry of "servers".
struct ServerSpec {
  ServerApi api = ServerApi::ollama;
  std::string url;    // as written, e.g. "http://127.0.0.1:11434"
  std::string model;  // empty for LibreTranslate
  std::vector<std::pair<std::string, std::string>> pairs;  // empty: the default for the api
  std::string apiKey;                                      // empty: none
  std::optional<int> timeoutSeconds;
  bool operator==(const ServerSpec&) const = default;
};

// The time a request may take when the entry says nothing: a 7B model on a laptop answers a batch
// well within it.
inline constexpr std::chrono::seconds kServerRequestLimit{120};
// The first request to a server in a process may have to wait for the model to load.
inline constexpr std::chrono::seconds kServerFirstRequestLimit{300};
// "timeoutSeconds" is taken between these bounds.
inline constexpr int kMinTimeoutSeconds = 1;
inline constexpr int kMaxTimeoutSeconds = 3600;

// Why `url` may not be used, in Chinese, naming the address; nothing for an http:// loopback
// address. Only "localhost" is resolved to decide; no connection is made.
std::optional<std::string> loopbackRefusal(std::string_view url);

// How messages name a server: "Ollama（127.0.0.1:11434）" (the url itself when it cannot be read).
std::string serverName(ServerApi api, std::string_view url);

// What a server says it serves.
struct ServerSurvey {
  bool reachable = false;
  std::vector<std::string> models;                         // chat APIs: model names
  std::vector<std::pair<std::string, std::string>> pairs;  // LibreTranslate: (source, target) in our codes
  std::optional<std::string> error;                        // Chinese, names the server
  bool operator==(const ServerSurvey&) const = default;
};

// Asks the server what it serves: GET {url}/api/tags (Ollama), {url}/models (OpenAI-compatible)
// or {url}/languages (LibreTranslate), within `limit`. Never throws; a refused url is answered
// with its refusal and nothing is opened.
ServerSurvey surveyServer(ServerApi api, std::string_view url, std::string_view apiKey,
                          std::chrono::milliseconds limit);

}  // namespace qy::platform
