// The Chinese texts of server failures.
#include "platform/server_messages.h"

#include "platform/engine_process.h"
#include "platform/server_wire.h"

namespace qy::platform::ServerMessages {

std::optional<std::string> failure(ServerApi api, std::string_view url,
                                   const LocalHttp::Response& response,
                                   std::chrono::milliseconds limit, std::string_view model) {
  const std::string name = serverName(api, url);
  switch (response.failure) {
    case LocalHttp::Failure::none: break;
    case LocalHttp::Failure::refused: return response.detail;
    case LocalHttp::Failure::unreachable:
      return "无法连接本机的 " + name + "：它没有在运行";
    case LocalHttp::Failure::timedOut: return name + "在 " + secondsText(limit) + "内没有回答";
    case LocalHttp::Failure::tooLarge: return name + "的回答过长";
    case LocalHttp::Failure::broken: return "与 " + name + "的连接意外中断";
  }
  if (response.status >= 200 && response.status < 300) return std::nullopt;
  if (response.status >= 300 && response.status < 400)
    return name + "要求转到别的地址（HTTP " + std::to_string(response.status) + "），没有跟随";
  const std::string text = ServerWire::errorText(response.body);
  // Ollama: 404 {"error": "model \"…\" not found, try pulling it first"}.
  if (api == ServerApi::ollama && response.status == 404 && !model.empty() &&
      text.find("not found") != std::string::npos)
    return modelMissing(api, url, model);
  return name + "报告错误：" + (text.empty() ? "HTTP " + std::to_string(response.status) : text);
}

std::string modelMissing(ServerApi api, std::string_view url, std::string_view model) {
  if (api == ServerApi::ollama)
    return "Ollama 里没有模型 " + std::string(model) + "：先运行 ollama pull " + std::string(model);
  return serverName(api, url) + "里没有模型 " + std::string(model) + "：先在它里面载入这个模型";
}

std::string unreadable(ServerApi api, std::string_view url) {
  return serverName(api, url) + "的回答无法识别";
}

}  // namespace qy::platform::ServerMessages
