// ServiceConnection: a host's lasting connection to the running service (`quillory-ext serve`),
// used by every host that stays up: the web reader and Thunderbird's native host. It connects on
// first use and keeps, as part of its state, whether the host is subscribed to events (from the
// start, or from a `subscribe` request sent through it on). When the service goes away (stopped,
// restarted, upgraded) the connection notices at once and connects again in the background,
// pausing between attempts (`firstRetry`, doubling up to `lastRetry`) for as long as no service
// answers; every connection it makes is subscribed before it is used when the host is. A request
// that finds the service gone makes one attempt of its own, so a host outlives any number of
// service restarts and never misses an event sent after the new service is up.
//
// Threads: request() from any thread; requests run concurrently on one connection. The
// connection owns one thread of its own, which waits for the current client to end and
// reconnects. Nothing that blocks (connecting, greeting, subscribing, writing, joining a client's
// reader thread) happens under the connection's lock: two threads finding the service gone may
// both connect, and the first connection made is kept. Events go to `onEvent` on the current
// client's reader thread; it must not block. Destroying (or close()) stops the reconnecting
// thread, closes the client and joins its thread, after which `onEvent` is not called any more.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/base/thread_annotations.h"
#include "protocol/host_client.h"

namespace qy::protocol {

struct ServiceConnectionOptions {
  std::filesystem::path socketPath;
  // How long a service may take to answer `hello`.
  std::chrono::milliseconds connectTimeout{2000};
  HostClient::EventHandler onEvent;
  // Whether every connection subscribes to events before it is used, as a host that always wants
  // them (the reader) would; otherwise from the host's first successful `subscribe` on.
  bool subscribe = false;
  // Pauses between background attempts while no service answers.
  std::chrono::milliseconds firstRetry{200};
  std::chrono::milliseconds lastRetry{5000};
  // A web reader's own page, once it has one ("http://127.0.0.1:PORT/"): named in a `hello` on
  // every new connection, so the service reports it to other hosts (the settings application
  // opens it) while the reader is connected. Called on any thread; must not block.
  std::function<std::optional<std::string>()> readerPage;
  // Called on the reconnecting thread each time it has connected again (and subscribed, when the
  // host is) after the service went away. Must not block or destroy the connection.
  std::function<void()> onReconnect;
};

class ServiceConnection {
 public:
  explicit ServiceConnection(ServiceConnectionOptions options);
  ~ServiceConnection();
  ServiceConnection(const ServiceConnection&) = delete;
  ServiceConnection& operator=(const ServiceConnection&) = delete;

  // Connects now unless connected; whether a service answers.
  bool connect() QY_EXCLUDES(mutex_);

  // The request's whole answer (an object with "op" and its fields; the client sets "id"), or
  // nothing when no service can be reached or the connection was closed. A `subscribe` that
  // succeeds is repeated on every later connection.
  std::optional<nlohmann::json> request(const nlohmann::json& request) QY_EXCLUDES(mutex_);

  // Whether the host is subscribed through this connection.
  bool subscribed() const QY_EXCLUDES(mutex_);

  // Stops for good: no more reconnecting, the client closed, later requests get nothing. For a
  // host that goes on without the service.
  void close() QY_EXCLUDES(mutex_);

 private:
  // The current client unless it is `failed` or has ended; else a new one (subscribed when the
  // host is), installed unless another thread installed one first. Nothing when no service
  // answers or the connection is closed.
  std::shared_ptr<HostClient> client(const std::shared_ptr<HostClient>& failed) QY_EXCLUDES(mutex_);
  // A new client, subscribed when `subscribe`; nothing when that fails.
  std::shared_ptr<HostClient> open(bool subscribe, uint64_t generation);
  // The client of `generation` ended from the service's side.
  void ended(uint64_t generation) QY_EXCLUDES(mutex_);
  // The reconnecting thread.
  void watch() QY_EXCLUDES(mutex_);

  const ServiceConnectionOptions options_;
  mutable Mutex mutex_;
  std::condition_variable changed_;  // a client ended, one was installed, or closing
  std::shared_ptr<HostClient> client_ QY_GUARDED_BY(mutex_);
  // Which attempt client_ came from: a client's end is told by its attempt's number.
  uint64_t generation_ QY_GUARDED_BY(mutex_) = 0;
  uint64_t attempts_ QY_GUARDED_BY(mutex_) = 0;
  bool clientSubscribed_ QY_GUARDED_BY(mutex_) = false;
  bool lost_ QY_GUARDED_BY(mutex_) = false;  // client_ ended: the thread reconnects
  // Whether the host wants events: set before a `subscribe` is sent, so a connection made
  // meanwhile subscribes too.
  bool subscribed_ QY_GUARDED_BY(mutex_) = false;
  bool closing_ QY_GUARDED_BY(mutex_) = false;
  std::thread watcher_;
};

}  // namespace qy::protocol
