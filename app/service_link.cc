// The settings application's requests to the running service; see service_link.h.
#include "app/service_link.h"

#include <memory>

#include "platform/host_client.h"

namespace qy::app {

bool serviceAnswers(const std::filesystem::path& root) {
  // connect() has read the service's hello by the time it gives a client.
  return platform::HostClient::connect(platform::serviceSocketPath(root), kServiceTimeout) !=
         nullptr;
}

std::optional<int> askServiceToReload(const std::filesystem::path& root) {
  std::unique_ptr<platform::HostClient> client =
      platform::HostClient::connect(platform::serviceSocketPath(root), kServiceTimeout);
  if (!client) return std::nullopt;
  const std::optional<nlohmann::json> answer = client->request({{"op", "reloadVisibleMessages"}});
  if (!answer || !answer->is_object() || answer->value("ok", false) != true) return std::nullopt;
  const auto delivered = answer->find("delivered");
  if (delivered == answer->end() || !delivered->is_number_integer()) return 0;
  return delivered->get<int>();
}

std::optional<std::string> serviceReaderURL(const std::filesystem::path& root) {
  std::unique_ptr<platform::HostClient> client =
      platform::HostClient::connect(platform::serviceSocketPath(root), kServiceTimeout);
  if (!client) return std::nullopt;
  const nlohmann::json& hello = client->hello();
  if (!hello.is_object()) return std::nullopt;
  const auto reader = hello.find("reader");
  // Only a page of our own on this machine is opened.
  if (reader == hello.end() || !reader->is_string()) return std::nullopt;
  const std::string url = reader->get<std::string>();
  if (!url.starts_with("http://127.0.0.1:") && !url.starts_with("http://localhost:"))
    return std::nullopt;
  return url;
}

}  // namespace qy::app
