// SecurityHandler: decoded messages, banner clicks and the compose-side answers.
#include "extension/bridge/security_handler.h"

#include <nlohmann/json.hpp>

#include "extension/bridge/panel_view_controller.h"

namespace qy {

SecurityHandler& SecurityHandler::shared() {
  // Created once, never destroyed: the engine's hook and host threads may outlive main().
  static SecurityHandler* handler = new SecurityHandler(ExtensionEnvironment{});
  return *handler;
}

SecurityHandler::SecurityHandler(ExtensionEnvironment environment)
    : environment_(withDefaults(std::move(environment))) {
  // The hook holds the log, not the handler, so it stays valid whatever outlives whom.
  auto log = environment_.log;
  environment_.engine->setReloadHook([log] {
    platform::ExtensionManager::reloadVisibleMessages([log](std::optional<std::string> error) {
      if (error) log("reload visible messages failed: " + *error);
    });
  });
  log("extension started");
}

std::optional<Bytes> encodeContext(const std::map<std::string, std::string>& context) {
  try {
    std::string text = nlohmann::json(context).dump();
    return Bytes(text.begin(), text.end());
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;  // a value that is not UTF-8
  }
}

std::map<std::string, std::string> decodeContext(const std::optional<Bytes>& context) {
  if (!context) return {};
  auto json = nlohmann::json::parse(context->begin(), context->end(), nullptr, false);
  if (!json.is_object()) return {};
  std::map<std::string, std::string> strings;
  for (const auto& [name, value] : json.items()) {
    if (!value.is_string()) return {};
    strings[name] = value.get<std::string>();
  }
  return strings;
}

std::optional<platform::DecodedMessage> SecurityHandler::decodedMessage(ByteView data,
                                                                        bool onMainThread) {
  Engine::Result result = environment_.engine->process(
      data, onMainThread ? std::optional<double>(0) : std::nullopt);
  if (!result.data && !result.banner) return std::nullopt;
  platform::DecodedMessage message;
  message.data = result.data ? std::move(*result.data) : Bytes(data.begin(), data.end());
  if (result.banner) {
    message.banner = platform::DecodedMessageBanner{*result.banner, result.action, true};
  }
  message.context = encodeContext(result.context);
  message.subject = std::move(result.subject);
  return message;
}

void SecurityHandler::primaryActionClicked(const std::optional<Bytes>& context,
                                           const ViewControllerCompletion& completion) {
  auto ctx = decodeContext(context);
  auto state = ctx.find("s");
  const std::string s = state == ctx.end() ? "done" : state->second;
  environment_.log("banner button clicked (state=" + s + ")");
  Engine& engine = *environment_.engine;
  if (s == "offer") {
    if (auto h = ctx.find("h"); h != ctx.end()) engine.request(h->second);
    engine.requestReload("user asked to translate");
    if (completion) completion(nullptr);
  } else if (s == "error") {
    if (auto k = ctx.find("k"); k != ctx.end()) engine.retry(k->second);
    engine.requestReload("user asked to retry");
    if (completion) completion(nullptr);
  } else {
    auto k = ctx.find("k");
    auto panel = std::make_unique<PanelViewController>(
        k == ctx.end() ? std::nullopt : std::optional<std::string>(k->second), environment_);
    if (completion) completion(std::move(panel));
  }
}

std::unique_ptr<platform::ExtensionViewController>
SecurityHandler::extensionViewControllerForSigners() const {
  return nullptr;
}

std::unique_ptr<platform::ExtensionViewController>
SecurityHandler::extensionViewControllerForMessageContext() const {
  return nullptr;
}

void SecurityHandler::getEncodingStatus(
    const std::function<void(platform::OutgoingMessageEncodingStatus)>& completion) const {
  if (completion) completion(platform::OutgoingMessageEncodingStatus{});
}

void SecurityHandler::encode(
    const std::function<void(platform::MessageEncodingResult)>& completion) const {
  if (completion) completion(platform::MessageEncodingResult{});
}

}  // namespace qy
