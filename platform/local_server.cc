// Names of the server APIs, the refusal of non-loopback entries, and the survey of a server.
#include "platform/local_server.h"

#include "platform/local_http.h"
#include "platform/server_messages.h"
#include "platform/server_wire.h"

namespace qy::platform {

std::string_view apiName(ServerApi api) {
  switch (api) {
    case ServerApi::ollama: return "ollama";
    case ServerApi::openai: return "openai";
    case ServerApi::libretranslate: return "libretranslate";
  }
  return "ollama";
}

std::optional<ServerApi> parseApi(std::string_view name) {
  for (ServerApi api : {ServerApi::ollama, ServerApi::openai, ServerApi::libretranslate})
    if (apiName(api) == name) return api;
  return std::nullopt;
}

std::string_view apiDisplayName(ServerApi api) {
  switch (api) {
    case ServerApi::ollama: return "Ollama";
    case ServerApi::openai: return "OpenAI 兼容服务";
    case ServerApi::libretranslate: return "LibreTranslate";
  }
  return "Ollama";
}

std::optional<std::string> loopbackRefusal(std::string_view url) { return LocalHttp::refusal(url); }

std::string serverName(ServerApi api, std::string_view url) {
  const std::optional<LocalHttp::Url> parsed = LocalHttp::parseUrl(url);
  return std::string(apiDisplayName(api)) + "（" +
         (parsed ? LocalHttp::authority(*parsed) : std::string(url)) + "）";
}

ServerSurvey surveyServer(ServerApi api, std::string_view url, std::string_view apiKey,
                          std::chrono::milliseconds limit) {
  LocalHttp::Request request;
  request.limit = limit;
  switch (api) {
    case ServerApi::ollama: request.path = "/api/tags"; break;
    case ServerApi::openai:
      request.path = "/models";
      if (!apiKey.empty()) request.headers.emplace_back("Authorization", "Bearer " + std::string(apiKey));
      break;
    case ServerApi::libretranslate: request.path = "/languages"; break;
  }
  const LocalHttp::Response response = LocalHttp::send(url, request);
  ServerSurvey survey;
  if (const auto failure = ServerMessages::failure(api, url, response, limit)) {
    survey.reachable = response.failure == LocalHttp::Failure::none;
    survey.error = failure;
    return survey;
  }
  survey.reachable = true;
  switch (api) {
    case ServerApi::ollama:
    case ServerApi::openai:
      if (auto models = api == ServerApi::ollama ? ServerWire::ollamaModels(response.body)
                                                 : ServerWire::openaiModels(response.body))
        survey.models = std::move(*models);
      else
        survey.error = ServerMessages::unreadable(api, url);
      break;
    case ServerApi::libretranslate:
      if (auto languages = ServerWire::libreLanguages(response.body))
        survey.pairs = std::move(languages->pairs);
      else
        survey.error = ServerMessages::unreadable(api, url);
      break;
  }
  return survey;
}

}  // namespace qy::platform
