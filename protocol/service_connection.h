// ServiceConnection: a host's lasting connection to the running service (`quillory-ext serve`),
// used by every host that stays up: the web reader and Thunderbird's native host. It connects on
// first use, remembers whether the host subscribed to events (a `subscribe` request sent through
// it), and when the service went away (stopped, restarted, upgraded) connects again on the next
// request, subscribes again when the host had, and sends the request there: one new attempt per
// request, so a host outlives any number of service restarts.
//
// Threads: request() from any thread; requests run concurrently on one connection. Nothing that
// blocks (connecting, greeting, subscribing, writing, joining a client's reader thread) happens
// under the connection's lock: two threads finding the service gone may both connect, and the
// first connection made is kept. Events go to `onEvent` on the current client's reader thread; it
// must not block. Destroying the connection closes it and joins that thread, after which
// `onEvent` is not called any more.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "core/base/thread_annotations.h"
#include "protocol/host_client.h"

namespace qy::protocol {

class ServiceConnection {
 public:
  // With `subscribe`, every connection subscribes to events before it is used, as a host that
  // always wants them (the reader) would; otherwise from the host's first `subscribe` on.
  ServiceConnection(std::filesystem::path socketPath, std::chrono::milliseconds connectTimeout,
                    HostClient::EventHandler onEvent, bool subscribe = false);
  ServiceConnection(const ServiceConnection&) = delete;
  ServiceConnection& operator=(const ServiceConnection&) = delete;

  // Connects now unless connected; whether a service answers.
  bool connect() QY_EXCLUDES(mutex_);

  // The request's whole answer (an object with "op" and its fields; the client sets "id"), or
  // nothing when no service can be reached. A `subscribe` that succeeds is repeated on every
  // later connection.
  std::optional<nlohmann::json> request(const nlohmann::json& request) QY_EXCLUDES(mutex_);

  // Whether the host subscribed through this connection.
  bool subscribed() const QY_EXCLUDES(mutex_);

 private:
  // The current client; with `fresh`, a new one in place of `failed` (unless another thread
  // replaced it already). Nothing when no service answers.
  std::shared_ptr<HostClient> client(const std::shared_ptr<HostClient>& failed, bool fresh)
      QY_EXCLUDES(mutex_);

  const std::filesystem::path socketPath_;
  const std::chrono::milliseconds connectTimeout_;
  const HostClient::EventHandler onEvent_;
  mutable Mutex mutex_;
  std::shared_ptr<HostClient> client_ QY_GUARDED_BY(mutex_);
  bool subscribed_ QY_GUARDED_BY(mutex_) = false;
};

}  // namespace qy::protocol
