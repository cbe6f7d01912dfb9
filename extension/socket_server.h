// SocketServer: the host protocol on the Unix stream socket `ext.sock` in the storage root.
//
// One event-loop thread (run()) accepts connections, reads their frames and writes their
// answers and events; requests run on worker threads, so a slow decode never holds up another
// request or connection, and their answers go out in whatever order they finish. A connection
// has at most kMaxRequestsInFlight requests running; past that its socket is not read until one
// ends, so a flood from one host cannot exhaust the machine.
//
// Security: the socket is created 0600 inside the 0700 root; a peer whose uid (SO_PEERCRED) is
// not ours is logged and closed unanswered. The lock file `ext.lock` beside the socket, held for
// the server's life, tells a second server that one runs (a socket left by a dead server is
// replaced).
//
// Threads: broadcast(), setReaderURL() and stop() may be called from any thread; stop() also
// from a signal handler. Lifetime: the owner calls run() once; after it returns, drain() waits
// for running requests. The destructor removes the socket and releases the lock.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "extension/security_handler.h"

namespace qy {

// Requests of one connection that may run at once.
inline constexpr size_t kMaxRequestsInFlight = 32;

// Whether the peer of the connected socket `fd` runs as `uid`; its uid in `peer`.
bool peerIsUser(int fd, uid_t uid, uid_t* peer);

class SocketServer {
 public:
  struct Options {
    std::filesystem::path root;                   // the storage root (exists, 0700)
    SecurityHandler* handler = nullptr;           // the operations' handler
    std::function<void(std::string_view)> log;    // empty: Log::write
  };
  enum class StartStatus { started, alreadyRunning, failed };

  // Binds the socket. Nothing, with `status` and a readable `error`, when another server runs
  // on this root or the socket cannot be made.
  static std::unique_ptr<SocketServer> start(Options options, StartStatus& status,
                                             std::string& error);
  ~SocketServer();
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  // Serves until stop() or until `stopFd` (when not -1; a signalfd, say) becomes readable; then
  // stops accepting, removes the socket and closes every connection.
  void run(int stopFd = -1);
  void stop();
  // Waits at most `limit` for requests still running; whether none is left.
  bool drain(std::chrono::milliseconds limit);

  // Sends `event` to every subscribed connection; their number.
  size_t broadcast(const nlohmann::json& event);
  // The web reader's URL for `hello`.
  void setReaderURL(std::optional<std::string> url);
  std::optional<std::string> readerURL() const;

  const std::filesystem::path& socketPath() const;

 private:
  struct State;
  explicit SocketServer(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;  // shared with worker threads
};

}  // namespace qy
