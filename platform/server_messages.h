// ServerMessages: how the failures of a local translation server read, in Chinese and naming the
// server ("无法连接本机的 Ollama（127.0.0.1:11434）：它没有在运行"). The survey, the providers
// and doctor say the same thing the same way. Pure functions; any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/local_http.h"
#include "platform/local_server.h"

namespace qy::platform::ServerMessages {

// What went wrong with a request to the server at `url` (a transport failure, a redirect, an HTTP
// error status with the server's own text); nothing for a 2xx answer. `model` names the model the
// request asked for, so that Ollama's "not found" becomes the command that fetches it.
std::optional<std::string> failure(ServerApi api, std::string_view url,
                                   const LocalHttp::Response& response,
                                   std::chrono::milliseconds limit, std::string_view model = {});

// "Ollama 里没有模型 qwen2.5:7b：先运行 ollama pull qwen2.5:7b" and the like for other servers.
std::string modelMissing(ServerApi api, std::string_view url, std::string_view model);

// An answer that is not what the server documents.
std::string unreadable(ServerApi api, std::string_view url);

}  // namespace qy::platform::ServerMessages
