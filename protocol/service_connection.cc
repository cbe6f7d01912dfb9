// A host's lasting connection to the service, reconnecting and subscribing again.
#include "protocol/service_connection.h"

#include <utility>

#include "protocol/host_frame.h"
#include "protocol/names.h"

namespace qy::protocol {

ServiceConnection::ServiceConnection(std::filesystem::path socketPath,
                                     std::chrono::milliseconds connectTimeout,
                                     HostClient::EventHandler onEvent, bool subscribe)
    : socketPath_(std::move(socketPath)), connectTimeout_(connectTimeout),
      onEvent_(std::move(onEvent)), subscribed_(subscribe) {}

bool ServiceConnection::connect() { return client(nullptr, false) != nullptr; }

bool ServiceConnection::subscribed() const {
  MutexLock lock(mutex_);
  return subscribed_;
}

std::shared_ptr<HostClient> ServiceConnection::client(const std::shared_ptr<HostClient>& failed,
                                                      bool fresh) {
  bool resubscribe;
  {
    MutexLock lock(mutex_);
    if (client_ && (!fresh || client_ != failed)) return client_;
    resubscribe = subscribed_;
  }
  // Connecting and subscribing block: done without the lock.
  std::shared_ptr<HostClient> made = HostClient::connect(socketPath_, connectTimeout_, onEvent_);
  if (made && resubscribe) {
    const auto answer = made->request({{"op", op::kSubscribe}});
    if (!answer || field<bool>(*answer, "ok") != true) made.reset();
  }
  std::shared_ptr<HostClient> dropped;  // closed (its thread joined) after the lock is released
  std::shared_ptr<HostClient> current;
  {
    MutexLock lock(mutex_);
    if (client_ && client_ != failed) {
      dropped = std::move(made);  // another thread connected first
    } else {
      dropped = std::exchange(client_, made);
    }
    current = client_;
  }
  return current;
}

std::optional<nlohmann::json> ServiceConnection::request(const nlohmann::json& request) {
  const bool subscribing = field<std::string>(request, "op") == op::kSubscribe;
  std::shared_ptr<HostClient> failed;
  for (bool fresh : {false, true}) {
    auto current = client(failed, fresh);
    if (!current) return std::nullopt;
    if (auto answer = current->request(request)) {
      if (subscribing && field<bool>(*answer, "ok") == true) {
        MutexLock lock(mutex_);
        subscribed_ = true;
      }
      return answer;
    }
    failed = std::move(current);
  }
  return std::nullopt;
}

}  // namespace qy::protocol
