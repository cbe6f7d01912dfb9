// The settings application's requests to the running service; see service_link.h.
#include "app/service_link.h"

#include <limits>
#include <memory>

#include "protocol/host_client.h"
#include "protocol/host_frame.h"
#include "protocol/names.h"

namespace qy::app {

bool serviceAnswers(const std::filesystem::path& root) {
  // connect() has read the service's hello by the time it gives a client.
  return protocol::HostClient::connect(protocol::serviceSocketPath(root), kServiceTimeout) !=
         nullptr;
}

std::optional<int> askServiceToReload(const std::filesystem::path& root) {
  std::unique_ptr<protocol::HostClient> client =
      protocol::HostClient::connect(protocol::serviceSocketPath(root), kServiceTimeout);
  if (!client) return std::nullopt;
  const std::optional<nlohmann::json> answer =
      client->request({{"op", protocol::op::kReloadVisibleMessages}});
  if (!answer || protocol::field<bool>(*answer, "ok") != true) return std::nullopt;
  const auto delivered = protocol::field<int64_t>(*answer, "delivered");
  if (!delivered || *delivered < 0 || *delivered > std::numeric_limits<int>::max()) return 0;
  return static_cast<int>(*delivered);
}

std::optional<std::string> serviceReaderURL(const std::filesystem::path& root) {
  std::unique_ptr<protocol::HostClient> client =
      protocol::HostClient::connect(protocol::serviceSocketPath(root), kServiceTimeout);
  if (!client) return std::nullopt;
  const nlohmann::json& hello = client->hello();
  if (!hello.is_object()) return std::nullopt;
  const auto reader = hello.find("reader");
  // Only a page of our own on this machine is opened.
  if (reader == hello.end() || !reader->is_string()) return std::nullopt;
  const std::string url = reader->get<std::string>();
  if (!protocol::isReaderAddress(url)) return std::nullopt;
  return url;
}

}  // namespace qy::app
