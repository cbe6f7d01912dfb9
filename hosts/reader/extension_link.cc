// The reader's protocol connection to the extension service.
#include "hosts/reader/extension_link.h"

namespace qy::reader {

ExtensionLink::ExtensionLink(std::filesystem::path socketPath, std::function<void()> onReload)
    : socketPath_(std::move(socketPath)), onReload_(std::move(onReload)) {}

std::shared_ptr<platform::HostClient> ExtensionLink::connection(bool fresh) {
  MutexLock lock(mutex_);
  if (client_ && !fresh) return client_;
  client_.reset();
  auto onEvent = [this](const nlohmann::json& event) {
    if (event.is_object() && event.value("event", "") == "reloadVisibleMessages" && onReload_) onReload_();
  };
  std::shared_ptr<platform::HostClient> client = platform::HostClient::connect(socketPath_, kConnectTimeout, onEvent);
  if (!client) return nullptr;
  const auto subscribed = client->request({{"op", "subscribe"}});
  if (!subscribed || !subscribed->value("ok", false)) return nullptr;
  client_ = client;
  return client_;
}

std::optional<nlohmann::json> ExtensionLink::call(const nlohmann::json& request) {
  for (bool fresh : {false, true}) {
    auto client = connection(fresh);
    if (!client) continue;
    if (auto answer = client->request(request)) return answer;
  }
  return std::nullopt;
}

}  // namespace qy::reader
