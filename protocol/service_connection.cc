// A host's lasting connection to the service: reconnecting in the background, subscribing again.
#include "protocol/service_connection.h"

#include <algorithm>
#include <utility>

#include "protocol/host_frame.h"
#include "protocol/names.h"

namespace qy::protocol {

ServiceConnection::ServiceConnection(ServiceConnectionOptions options)
    : options_(std::move(options)) {
  {
    MutexLock lock(mutex_);
    subscribed_ = options_.subscribe;
  }
  watcher_ = std::thread([this] { watch(); });
}

ServiceConnection::~ServiceConnection() {
  close();
  watcher_.join();
}

void ServiceConnection::close() {
  std::shared_ptr<HostClient> dropped;  // closed (its thread joined) after the lock is released
  {
    MutexLock lock(mutex_);
    closing_ = true;
    dropped = std::move(client_);
    changed_.notify_all();
  }
}

bool ServiceConnection::connect() { return client(nullptr) != nullptr; }

bool ServiceConnection::subscribed() const {
  MutexLock lock(mutex_);
  return subscribed_;
}

void ServiceConnection::ended(uint64_t generation) {
  MutexLock lock(mutex_);
  if (generation != generation_ || !client_) return;  // a client never installed, or replaced
  lost_ = true;
  changed_.notify_all();
}

std::shared_ptr<HostClient> ServiceConnection::client(const std::shared_ptr<HostClient>& failed) {
  // Declared before the locks below, so that a client left over is closed after they are released.
  std::shared_ptr<HostClient> made, replaced;
  bool madeSubscribed = false;
  uint64_t generation = 0;
  for (;;) {
    bool subscribe;
    {
      MutexLock lock(mutex_);
      if (closing_) return nullptr;
      if (client_ && client_ != failed && !lost_) return client_;
      subscribe = subscribed_;
      // The host's wish is read again here: a `subscribe` sent while this client was being made
      // may have found the old one still installed, so the new one must subscribe itself.
      if (made && (madeSubscribed || !subscribe)) {
        replaced = std::exchange(client_, made);
        generation_ = generation;
        // It may have ended before it was installed, when its end could not be told yet.
        lost_ = made->closed();
        changed_.notify_all();
        return made;
      }
      if (!made) generation = ++attempts_;
    }
    // Connecting and subscribing block: done without the lock.
    if (!made) {
      made = HostClient::connect(options_.socketPath, options_.connectTimeout, options_.onEvent,
                                 [this, generation] { ended(generation); });
      if (!made) return nullptr;
      // A service that does not take the page still serves the host.
      if (auto page = options_.readerPage ? options_.readerPage() : std::nullopt) {
        made->request({{"op", op::kHello}, {"version", kVersion}, {"reader", *page}});
      }
    }
    if (subscribe && !madeSubscribed) {
      const auto answer = made->request({{"op", op::kSubscribe}});
      if (!answer || field<bool>(*answer, "ok") != true) return nullptr;
      madeSubscribed = true;
    }
  }
}

std::optional<nlohmann::json> ServiceConnection::request(const nlohmann::json& request) {
  const bool subscribing = field<std::string>(request, "op") == op::kSubscribe;
  bool wasSubscribed = false;
  if (subscribing) {
    // Wished for before it is sent: a connection made meanwhile, by the thread or another
    // request, subscribes as well.
    MutexLock lock(mutex_);
    wasSubscribed = std::exchange(subscribed_, true);
  }
  std::shared_ptr<HostClient> failed;
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto current = client(failed);
    if (!current) break;
    if (auto answer = current->request(request)) {
      if (subscribing && field<bool>(*answer, "ok") != true) {
        MutexLock lock(mutex_);
        subscribed_ = wasSubscribed;  // the service said no: nothing to restore later
      }
      return answer;
    }
    failed = std::move(current);
  }
  // No service now: a `subscribe` still holds for the one that comes back.
  return std::nullopt;
}

void ServiceConnection::watch() {
  std::chrono::milliseconds pause = options_.firstRetry;
  for (;;) {
    std::shared_ptr<HostClient> gone;
    {
      MutexLock lock(mutex_);
      lock.wait(changed_, [&]() QY_REQUIRES(mutex_) { return closing_ || lost_; });
      if (closing_) return;
      gone = client_;
    }
    const std::shared_ptr<HostClient> made = client(gone);
    if (made && !made->closed()) {
      pause = options_.firstRetry;
      if (options_.onReconnect) options_.onReconnect();
      continue;
    }
    // No service yet: wait, unless a request connects meanwhile or the connection closes.
    MutexLock lock(mutex_);
    lock.waitUntil(changed_, std::chrono::steady_clock::now() + pause,
                   [&]() QY_REQUIRES(mutex_) { return closing_ || !lost_; });
    pause = std::min(pause * 2, options_.lastRetry);
  }
}

}  // namespace qy::protocol
