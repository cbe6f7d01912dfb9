// SocketServer: the event loop, the connections and the worker pool.
#include "extension/service/socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "core/base/thread_annotations.h"
#include "core/base/worker_pool.h"
#include "core/config/log.h"
#include "extension/service/host_protocol.h"
#include "protocol/host_client.h"
#include "protocol/host_frame.h"
#include "protocol/names.h"

namespace qy {
namespace {

using Steady = std::chrono::steady_clock;

// The lock file held by the running server, beside its socket.
constexpr const char* kLockName = "ext.lock";
// Bytes read from a connection at a time.
constexpr size_t kReadChunk = 256 * 1024;
// Connections waiting to be accepted.
constexpr int kBacklog = 64;
// How long accepting rests when out of descriptors with no spare one to give up.
constexpr std::chrono::milliseconds kAcceptRest{200};
// The answer to a request that finds no thread to run on.
constexpr const char* kBusy = "the service is busy (it cannot start a thread); try again";

// A frame waiting in a connection's outbox; `event` when it is an event (one waiting unsent
// covers the next one like it).
struct Outgoing {
  std::string frame;
  bool event = false;
};

// One host's connection. Its fd, reader and flags belong to the loop thread; the outbox is
// filled by workers and the broadcaster and emptied by the loop.
struct Connection {
  explicit Connection(int socket) : fd(socket) {}
  const int fd;
  protocol::FrameReader reader;
  HostSession session;
  size_t claimed = 0;              // bytes of the budget held by the frame arriving
  std::atomic<size_t> inFlight{0};
  std::atomic<bool> failed{false};  // a bad frame: close once its error is written
  bool readClosed = false;          // the peer will send nothing more

  Mutex lock;
  bool open QY_GUARDED_BY(lock) = true;
  bool overflowed QY_GUARDED_BY(lock) = false;  // answers queued past kAnswerBytesLimit
  std::deque<Outgoing> outbox QY_GUARDED_BY(lock);
  size_t outboxBytes QY_GUARDED_BY(lock) = 0;
  size_t sentOfFront QY_GUARDED_BY(lock) = 0;
  std::map<std::string, size_t> eventsWaiting QY_GUARDED_BY(lock);  // unsent, by frame
};

}  // namespace

struct SocketServer::State {
  Options options;
  std::filesystem::path socketPath;
  int listener = -1;
  int lockFd = -1;
  int wakeFd = -1;
  int spareFd = -1;  // given up to accept a connection when out of descriptors
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> finished{false};  // run() has returned
  std::atomic<size_t> heldBytes{0};   // of kReceiveBudget

  Mutex lock;
  std::vector<std::shared_ptr<Connection>> connections QY_GUARDED_BY(lock);
  std::optional<std::string> readerURL QY_GUARDED_BY(lock);

  HostServices services;
  std::unique_ptr<WorkerPool> pool;  // its tasks use the members above

  ~State() {
    pool.reset();  // runs what is queued and joins, while the descriptors are still open
    if (listener >= 0) ::close(listener);
    if (wakeFd >= 0) ::close(wakeFd);
    if (spareFd >= 0) ::close(spareFd);
    if (lockFd >= 0) ::close(lockFd);  // releases the lock
  }

  void log(std::string_view line) const { options.log(line); }

  void wake() const {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
  }

  void post(Connection& connection, std::string frame, bool event = false) {
    {
      MutexLock guard(connection.lock);
      if (!connection.open || connection.overflowed) return;
      if (event && connection.eventsWaiting[frame] > 0) return;  // one waiting covers this
      if (connection.outboxBytes + frame.size() > kAnswerBytesLimit) {
        connection.overflowed = true;  // the loop closes it
      } else {
        connection.outboxBytes += frame.size();
        if (event) ++connection.eventsWaiting[frame];
        connection.outbox.push_back({std::move(frame), event});
      }
    }
    wake();
  }

  size_t broadcast(const nlohmann::json& event) {
    std::string frame = protocol::encodeFrame(event);
    std::vector<std::shared_ptr<Connection>> subscribed;
    {
      MutexLock guard(lock);
      for (const auto& connection : connections) {
        if (connection->session.subscribed()) subscribed.push_back(connection);
      }
    }
    for (const auto& connection : subscribed) post(*connection, frame, true);
    return subscribed.size();
  }

  void closeConnection(const std::shared_ptr<Connection>& connection) {
    {
      MutexLock guard(connection->lock);
      connection->open = false;
      connection->outbox.clear();
      connection->eventsWaiting.clear();
      connection->outboxBytes = 0;
    }
    {
      MutexLock guard(lock);
      std::erase(connections, connection);
    }
    heldBytes -= connection->claimed;
    connection->claimed = 0;
    ::close(connection->fd);
  }

  // Accepts the waiting connections. Out of descriptors, gives up the spare one to take the
  // next connection and close it at once (it would wait forever, and keep the listener readable);
  // without a spare, rests until `acceptAfter`.
  void accept(Steady::time_point& acceptAfter) {
    for (;;) {
      int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno != EMFILE && errno != ENFILE) return;  // EAGAIN: none left
        if (spareFd < 0) {
          acceptAfter = Steady::now() + kAcceptRest;
          return;
        }
        ::close(spareFd);
        spareFd = -1;
        fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) ::close(fd);
        spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        log("refused a connection: the service is out of file descriptors");
        if (fd < 0) {
          acceptAfter = Steady::now() + kAcceptRest;
          return;
        }
        continue;
      }
      uid_t peer = 0;
      if (!peerIsUser(fd, ::geteuid(), &peer)) {
        log("refused a connection from uid " + std::to_string(peer) +
            " (not the service's user)");
        ::close(fd);
        continue;
      }
      MutexLock guard(lock);
      connections.push_back(std::make_shared<Connection>(fd));
    }
  }

  static size_t queuedAnswerBytes(Connection& connection) {
    MutexLock guard(connection.lock);
    return connection.outboxBytes;
  }

  // Whether the loop may read more of `connection` now.
  bool mayRead(Connection& connection) {
    if (connection.readClosed || connection.failed.load() || stopRequested.load()) return false;
    if (connection.inFlight.load() >= kMaxRequestsInFlight || !pool->hasRoom()) return false;
    if (queuedAnswerBytes(connection) >= kAnswerBytesPaused) return false;
    // A frame under way has its budget already; a new one waits for room.
    return connection.claimed > 0 || heldBytes.load() < kReceiveBudget;
  }

  // Reads what has arrived; false when the connection broke.
  bool receive(Connection& connection) {
    static thread_local std::string buffer(kReadChunk, '\0');
    for (int reads = 0; reads < 4; ++reads) {  // bounded: other connections get their turn
      ssize_t n = ::recv(connection.fd, buffer.data(), buffer.size(), 0);
      if (n > 0) {
        connection.reader.feed(std::string_view(buffer.data(), static_cast<size_t>(n)));
        if (connection.reader.frameInProgress() > kReadChunk) break;  // budget it first
        continue;
      }
      if (n == 0) {
        connection.readClosed = true;
        return true;
      }
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
  }

  // Holds the budget for the frame now arriving on `connection` (its announced size).
  void claim(Connection& connection) {
    size_t size = connection.reader.frameInProgress();
    if (size > connection.claimed) {
      heldBytes += size - connection.claimed;
      connection.claimed = size;
    }
  }

  // Starts the requests that have arrived, as many as the connection and the pool may run.
  void dispatch(const std::shared_ptr<Connection>& connection) {
    while (!connection->failed.load() && !stopRequested.load() &&
           connection->inFlight.load() < kMaxRequestsInFlight && pool->hasRoom()) {
      auto body = connection->reader.nextBody();
      if (!body) break;
      if (!body->error.empty()) {
        post(*connection, errorAnswer(nullptr, body->error).frame());
        connection->failed = true;
        break;
      }
      // The frame's bytes stay counted until its answer is queued.
      const size_t held = body->text.size() + protocol::kFrameHeaderSize;
      heldBytes += held;
      heldBytes -= connection->claimed;
      connection->claimed = 0;
      ++connection->inFlight;
      auto text = std::make_shared<std::string>(std::move(body->text));
      bool started = pool->submit([this, connection, text, held] {
        answer(*connection, *text, held);
      });
      if (!started) answer(*connection, *text, held, kBusy);
    }
    claim(*connection);
  }

  // Parses one request, answers it and queues the answer: on a worker, or on the loop with
  // `refusal` when no worker could take it. Never throws.
  void answer(Connection& connection, std::string& text, size_t held, const char* refusal = nullptr) {
    std::string frame;
    bool bad = false;
    try {
      protocol::FrameReader::Frame request = protocol::parseFrameBody(text);
      std::string().swap(text);  // the request's bytes are in the object now
      if (!request.error.empty()) {
        frame = errorAnswer(nullptr, request.error).frame();
        bad = true;
      } else if (refusal) {
        const auto& object = request.object;
        frame = errorAnswer(object.contains("id") ? object["id"] : nlohmann::json(nullptr), refusal)
                    .frame();
      } else {
        frame = handleRequest(request.object, connection.session, services).frame();
      }
    } catch (const std::exception& error) {
      frame = errorAnswer(nullptr, std::string("internal error: ") + error.what()).frame();
      log(std::string("a request failed: ") + error.what());
    }
    if (bad) connection.failed = true;  // before the answer: nothing after it is started
    post(connection, std::move(frame));
    heldBytes -= held;
    --connection.inFlight;
    wake();  // the loop may read this connection's next requests now
  }

  // Writes what the outbox holds, as far as the socket takes it; false when it broke.
  bool flush(Connection& connection) {
    MutexLock guard(connection.lock);
    if (connection.overflowed) {
      log("closed a connection whose host does not read its answers");
      return false;
    }
    while (!connection.outbox.empty()) {
      Outgoing& front = connection.outbox.front();
      if (front.event && connection.sentOfFront == 0) {
        // Begun, it no longer covers a later event: that one may come after this one's bytes.
        if (--connection.eventsWaiting[front.frame] == 0) connection.eventsWaiting.erase(front.frame);
        front.event = false;
      }
      ssize_t n = ::send(connection.fd, front.frame.data() + connection.sentOfFront,
                         front.frame.size() - connection.sentOfFront, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      connection.sentOfFront += static_cast<size_t>(n);
      if (connection.sentOfFront == front.frame.size()) {
        connection.outboxBytes -= front.frame.size();
        connection.outbox.pop_front();
        connection.sentOfFront = 0;
      }
    }
    return true;
  }

  static bool hasOutput(Connection& connection) {
    MutexLock guard(connection.lock);
    return !connection.outbox.empty() || connection.overflowed;
  }

  // Stops accepting: the listener closes and the socket goes, so new hosts find no service.
  void stopListening() {
    if (listener < 0) return;
    ::close(listener);
    listener = -1;
    std::error_code ignored;
    std::filesystem::remove(socketPath, ignored);
  }

  bool run(int stopFd) {
    Steady::time_point acceptAfter{};
    std::optional<Steady::time_point> drainUntil;
    bool answeredAll = true;
    for (;;) {
      if (stopRequested.load() && !drainUntil) {
        drainUntil = Steady::now() + options.stopGrace;
        stopListening();
      }
      std::vector<std::shared_ptr<Connection>> current;
      {
        MutexLock guard(lock);
        current = connections;
      }
      if (drainUntil) {
        bool busy = false;
        for (const auto& connection : current) {
          busy = busy || connection->inFlight.load() > 0 || hasOutput(*connection);
        }
        if (!busy) break;
        if (Steady::now() >= *drainUntil) {
          answeredAll = false;
          break;
        }
      }
      const auto now = Steady::now();
      const bool accepting = listener >= 0 && now >= acceptAfter;
      std::vector<pollfd> fds = {{wakeFd, POLLIN, 0},
                                 {accepting ? listener : -1, POLLIN, 0},
                                 {drainUntil ? -1 : stopFd, POLLIN, 0}};
      for (const auto& connection : current) {
        short events = 0;
        if (mayRead(*connection)) events |= POLLIN;
        if (hasOutput(*connection)) events |= POLLOUT;
        fds.push_back({connection->fd, events, 0});
      }
      int timeout = -1;
      auto until = [&](Steady::time_point at) {
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(at - now).count();
        int wait = static_cast<int>(std::clamp<long long>(ms, 0, 60'000));
        timeout = timeout < 0 ? wait : std::min(timeout, wait);
      };
      if (listener >= 0 && !accepting) until(acceptAfter);
      if (drainUntil) until(*drainUntil);
      int ready = ::poll(fds.data(), fds.size(), timeout);
      if (ready < 0 && errno != EINTR) break;
      if (ready <= 0) continue;
      if (fds[0].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(wakeFd, &count, sizeof count);
      }
      if (!drainUntil && stopFd >= 0 && (fds[2].revents & POLLIN)) {
        stopRequested = true;
        continue;
      }
      if (accepting && (fds[1].revents & POLLIN)) accept(acceptAfter);
      for (size_t i = 0; i < current.size(); ++i) {
        const auto& connection = current[i];
        bool alive = true;
        const short revents = fds[3 + i].revents;
        if ((revents & POLLIN) || ((revents & (POLLHUP | POLLERR)) && mayRead(*connection))) {
          alive = receive(*connection);
        }
        if (alive) dispatch(connection);
        if (alive) alive = flush(*connection);
        // A peer that has hung up entirely (not just ended its requests) can receive nothing;
        // poll reports that on every turn, so the connection goes now, whatever still runs.
        if (revents & (POLLHUP | POLLERR)) {
          if (connection->readClosed || !mayRead(*connection)) alive = false;
        }
        // With no request running, every complete frame has been started: bytes left over
        // after the peer's end are a frame it never finished. inFlight is read before the
        // outbox: a request posts its answer before it counts itself out.
        const bool idle = connection->inFlight.load() == 0;
        bool done = ((connection->failed.load() && idle) || (connection->readClosed && idle)) &&
                    !hasOutput(*connection);
        if (!alive || done) closeConnection(connection);
      }
    }
    finished = true;
    stopListening();
    std::vector<std::shared_ptr<Connection>> all;
    {
      MutexLock guard(lock);
      all = connections;
    }
    for (const auto& connection : all) closeConnection(connection);
    return answeredAll;
  }
};

bool peerIsUser(int fd, uid_t uid, uid_t* peer) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    *peer = static_cast<uid_t>(-1);
    return false;
  }
  *peer = credentials.uid;
  return credentials.uid == uid;
}

std::unique_ptr<SocketServer> SocketServer::start(Options options, StartStatus& status,
                                                  std::string& error) {
  status = StartStatus::failed;
  if (!options.log) options.log = [](std::string_view line) { Log::write(line); };
  auto state = std::make_shared<State>();
  state->options = std::move(options);
  const std::filesystem::path& root = state->options.root;
  state->socketPath = protocol::serviceSocketPath(root);
  const std::string& path = state->socketPath.native();

  state->lockFd = ::open((root / kLockName).c_str(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (state->lockFd < 0) {
    error = "cannot open " + (root / kLockName).string() + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::flock(state->lockFd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      status = StartStatus::alreadyRunning;
      error = "a service is already running on " + path;
    } else {
      error = "cannot lock " + (root / kLockName).string() + ": " + std::strerror(errno);
    }
    return nullptr;
  }

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    error = "the socket path " + path + " is too long for a Unix socket";
    return nullptr;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  // No server holds the lock, so a socket here is a dead server's: replace it. Anything else
  // in its place is not ours to remove.
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      error = path + " exists and is not a socket";
      return nullptr;
    }
    ::unlink(path.c_str());
  }
  state->listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (state->listener < 0) {
    error = std::string("cannot create a socket: ") + std::strerror(errno);
    return nullptr;
  }
  // The socket is created with the umask's bits cleared; no moment with wider permissions.
  mode_t previous = ::umask(0177);
  int bound = ::bind(state->listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int bindError = errno;
  ::umask(previous);
  if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 ||
      ::listen(state->listener, kBacklog) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(bound != 0 ? bindError : errno);
    ::unlink(path.c_str());
    return nullptr;
  }
  state->spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  state->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (state->wakeFd < 0) {
    error = std::string("cannot create an event descriptor: ") + std::strerror(errno);
    ::unlink(path.c_str());
    return nullptr;
  }

  State* raw = state.get();
  state->pool = std::make_unique<WorkerPool>(WorkerPool::Options{
      .name = "host requests",
      .threads = kServiceRequestThreads,
      .capacity = kServiceRequestCapacity,
      .eager = false,
      .onError = [raw](std::string_view what) {
        raw->log("a request's worker caught " + std::string(what));
      }});
  // The services run in the pool's tasks, which the state outlives (its destructor joins them).
  state->services.handler = state->options.handler;
  // This process's own reader, else the one a connected reader named (the latest to connect).
  state->services.readerURL = [raw]() -> std::optional<std::string> {
    MutexLock guard(raw->lock);
    if (raw->readerURL) return raw->readerURL;
    for (auto it = raw->connections.rbegin(); it != raw->connections.rend(); ++it) {
      if (auto url = (*it)->session.reader()) return url;
    }
    return std::nullopt;
  };
  state->services.reloadVisibleMessages = [raw]() -> size_t {
    return raw->broadcast({{"event", protocol::event::kReloadVisibleMessages}});
  };
  status = StartStatus::started;
  return std::unique_ptr<SocketServer>(new SocketServer(std::move(state)));
}

SocketServer::SocketServer(std::shared_ptr<State> state) : state_(std::move(state)) {}

SocketServer::~SocketServer() {
  if (!state_->finished.load()) {
    std::error_code ignored;
    std::filesystem::remove(state_->socketPath, ignored);
  }
}

bool SocketServer::run(int stopFd) { return state_->run(stopFd); }

void SocketServer::stop() {
  state_->stopRequested = true;
  state_->wake();  // a write to an eventfd: safe in a signal handler
}

bool SocketServer::drain(std::chrono::milliseconds limit) {
  return state_->pool->waitIdle(Steady::now() + limit);
}

size_t SocketServer::broadcast(const nlohmann::json& event) { return state_->broadcast(event); }

void SocketServer::setReaderURL(std::optional<std::string> url) {
  MutexLock guard(state_->lock);
  state_->readerURL = std::move(url);
}

const std::filesystem::path& SocketServer::socketPath() const { return state_->socketPath; }

}  // namespace qy
