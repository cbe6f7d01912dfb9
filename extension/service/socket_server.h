// SocketServer: the host protocol on the Unix stream socket `ext.sock` in the storage root.
//
// One event-loop thread (run()) accepts connections, cuts their frames out of what arrives and
// writes their answers and events; requests are parsed and answered by one worker pool of a
// fixed number of threads for every connection, so a slow decode never holds up the loop, and
// answers go out in whatever order they finish.
//
// What a host can make the service hold is bounded, and past each bound the service stops
// reading from that host (the host's own writes then wait) rather than grow:
// - requests running or queued: kMaxRequestsInFlight per connection, kServiceRequestCapacity in
//   all; a request that finds no thread at all (a task limit) is answered "busy";
// - bytes of requests received and not yet answered, partly received frames included (each
//   counted at its announced size once its bytes start to arrive): kReceiveBudget in all;
// - answers queued for a host that does not read them: reading stops at kAnswerBytesPaused and
//   the connection is closed past kAnswerBytesLimit; events for a host that does not read are
//   not queued twice (an event already waiting covers the next).
// Out of descriptors, a spare one is given up to accept the waiting connection and close it, so
// the loop never spins on a listener it cannot empty.
//
// Security: the socket is created 0600 inside the 0700 root; a peer whose uid (SO_PEERCRED) is
// not ours is logged and closed unanswered. The lock file `ext.lock` beside the socket, held for
// the server's life, tells a second server that one runs (a socket left by a dead server is
// replaced).
//
// Threads: broadcast(), setReaderURL() and stop() may be called from any thread; stop() also
// from a signal handler. Lifetime: the owner calls run() once; when told to stop it stops
// accepting and reading, lets running requests answer for `stopGrace`, then closes every
// connection. The destructor removes the socket and releases the lock.
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

#include "extension/bridge/security_handler.h"
#include "protocol/host_frame.h"

namespace qy {

using protocol::kMaxRequestsInFlight;

// Threads answering requests, for every connection together.
inline constexpr size_t kServiceRequestThreads = 64;
// Requests running or waiting for a thread, for every connection together.
inline constexpr size_t kServiceRequestCapacity = 1024;
// Bytes of requests received and not yet answered, for every connection together: a few frames
// of the largest size.
inline constexpr size_t kReceiveBudget = 4 * protocol::kMaxFrameSize;
// Answer bytes queued for one connection past which its requests are not read...
inline constexpr size_t kAnswerBytesPaused = size_t{8} << 20;
// ...and past which the connection is closed: a host that does not read its answers.
inline constexpr size_t kAnswerBytesLimit = 4 * protocol::kMaxFrameSize;

// Whether the peer of the connected socket `fd` runs as `uid`; its uid in `peer`.
bool peerIsUser(int fd, uid_t uid, uid_t* peer);

class SocketServer {
 public:
  struct Options {
    std::filesystem::path root;                   // the storage root (exists, 0700)
    SecurityHandler* handler = nullptr;           // the operations' handler
    std::function<void(std::string_view)> log;    // empty: Log::write
    std::chrono::milliseconds stopGrace{3000};    // for running requests, once told to stop
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
  // stops accepting (the socket is removed) and reading, writes the answers of the requests
  // still running as they finish, for at most the stop grace, and closes every connection.
  // Whether every request was answered.
  bool run(int stopFd = -1);
  void stop();
  // Waits at most `limit` for requests still running; whether none is left.
  bool drain(std::chrono::milliseconds limit);

  // Sends `event` to every subscribed connection; their number.
  size_t broadcast(const nlohmann::json& event);
  // The web reader's URL for `hello`.
  void setReaderURL(std::optional<std::string> url);

  const std::filesystem::path& socketPath() const;

 private:
  struct State;
  explicit SocketServer(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace qy
