// SocketServer: the event loop, the connections and the worker threads.
#include "extension/socket_server.h"

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
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "core/base/thread_annotations.h"
#include "core/config/log.h"
#include "extension/host_protocol.h"
#include "platform/host_client.h"
#include "platform/host_frame.h"

namespace qy {
namespace {

// The lock file held by the running server, beside its socket.
constexpr const char* kLockName = "ext.lock";
// Bytes read from a connection at a time.
constexpr size_t kReadChunk = 256 * 1024;
// Connections waiting to be accepted.
constexpr int kBacklog = 64;
// Idle worker threads kept for the next requests; more end when they run out of work.
constexpr size_t kIdleWorkersKept = 8;

// One host's connection. Its fd, reader and flags belong to the loop thread; the outbox is
// filled by workers and the broadcaster and emptied by the loop.
struct Connection {
  explicit Connection(int socket) : fd(socket) {}
  const int fd;
  platform::FrameReader reader;
  HostSession session;
  std::atomic<size_t> inFlight{0};
  bool readClosed = false;  // the peer will send nothing more
  bool failed = false;      // a bad frame: close once its error is written

  Mutex lock;
  bool open QY_GUARDED_BY(lock) = true;
  std::deque<std::string> outbox QY_GUARDED_BY(lock);
  size_t sentOfFront QY_GUARDED_BY(lock) = 0;
};

}  // namespace

struct SocketServer::State : std::enable_shared_from_this<SocketServer::State> {
  Options options;
  std::filesystem::path socketPath;
  int listener = -1;
  int lockFd = -1;
  int wakeFd = -1;
  std::atomic<bool> stopped{false};

  Mutex lock;
  std::vector<std::shared_ptr<Connection>> connections QY_GUARDED_BY(lock);
  std::optional<std::string> readerURL QY_GUARDED_BY(lock);

  Mutex workLock;
  std::condition_variable workReady;
  std::condition_variable workDone;
  std::deque<std::function<void()>> queue QY_GUARDED_BY(workLock);
  size_t idle QY_GUARDED_BY(workLock) = 0;
  size_t unfinished QY_GUARDED_BY(workLock) = 0;  // queued or running
  bool workersEnd QY_GUARDED_BY(workLock) = false;

  HostServices services;

  ~State() {
    if (listener >= 0) ::close(listener);
    if (wakeFd >= 0) ::close(wakeFd);
    if (lockFd >= 0) ::close(lockFd);  // releases the lock
  }

  void log(std::string_view line) const { options.log(line); }

  void wake() const {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
  }

  void post(Connection& connection, std::string frame) {
    {
      MutexLock guard(connection.lock);
      if (!connection.open) return;
      connection.outbox.push_back(std::move(frame));
    }
    wake();
  }

  size_t broadcast(const nlohmann::json& event) {
    std::string frame = platform::encodeFrame(event);
    std::vector<std::shared_ptr<Connection>> subscribed;
    {
      MutexLock guard(lock);
      for (const auto& connection : connections) {
        if (connection->session.subscribed()) subscribed.push_back(connection);
      }
    }
    for (const auto& connection : subscribed) post(*connection, frame);
    return subscribed.size();
  }

  // Runs `task` on a worker: an idle one, else a new thread, so no request waits for another.
  void submit(std::function<void()> task) {
    bool spawn;
    {
      MutexLock guard(workLock);
      queue.push_back(std::move(task));
      ++unfinished;
      spawn = idle < queue.size();
    }
    if (spawn) {
      std::thread([self = shared_from_this()] { self->workerLoop(); }).detach();
    } else {
      workReady.notify_one();
    }
  }

  void workerLoop() {
    for (;;) {
      std::function<void()> task;
      {
        MutexLock guard(workLock);
        ++idle;
        guard.wait(workReady, [&]() QY_REQUIRES(workLock) { return !queue.empty() || workersEnd; });
        --idle;
        if (queue.empty()) return;
        task = std::move(queue.front());
        queue.pop_front();
      }
      task();
      MutexLock guard(workLock);
      --unfinished;
      workDone.notify_all();
      if (idle >= kIdleWorkersKept || workersEnd) return;
    }
  }

  void closeConnection(const std::shared_ptr<Connection>& connection) {
    {
      MutexLock guard(connection->lock);
      connection->open = false;
      connection->outbox.clear();
    }
    {
      MutexLock guard(lock);
      std::erase(connections, connection);
    }
    ::close(connection->fd);
  }

  void accept() {
    for (;;) {
      int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;  // EAGAIN, or out of descriptors: try again at the next wake
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

  // Reads what has arrived; false when the connection broke.
  bool receive(Connection& connection) {
    static thread_local std::string buffer(kReadChunk, '\0');
    for (int reads = 0; reads < 4; ++reads) {  // bounded: other connections get their turn
      ssize_t n = ::recv(connection.fd, buffer.data(), buffer.size(), 0);
      if (n > 0) {
        connection.reader.feed(std::string_view(buffer.data(), static_cast<size_t>(n)));
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

  // Starts the requests that have arrived, as many as the connection may run.
  void dispatch(const std::shared_ptr<Connection>& connection) {
    while (!connection->failed && connection->inFlight.load() < kMaxRequestsInFlight) {
      auto frame = connection->reader.next();
      if (!frame) return;
      if (!frame->error.empty()) {
        post(*connection, errorAnswer(nullptr, frame->error).frame());
        connection->failed = true;
        return;
      }
      ++connection->inFlight;
      submit([self = shared_from_this(), connection, request = std::move(frame->object)] {
        HostAnswer answer = handleRequest(request, connection->session, self->services);
        self->post(*connection, answer.frame());
        --connection->inFlight;
        self->wake();  // the loop may read this connection's next requests now
      });
    }
  }

  // Writes what the outbox holds, as far as the socket takes it; false when it broke.
  bool flush(Connection& connection) {
    MutexLock guard(connection.lock);
    while (!connection.outbox.empty()) {
      const std::string& front = connection.outbox.front();
      ssize_t n = ::send(connection.fd, front.data() + connection.sentOfFront,
                         front.size() - connection.sentOfFront, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      connection.sentOfFront += static_cast<size_t>(n);
      if (connection.sentOfFront == front.size()) {
        connection.outbox.pop_front();
        connection.sentOfFront = 0;
      }
    }
    return true;
  }

  static bool hasOutput(Connection& connection) {
    MutexLock guard(connection.lock);
    return !connection.outbox.empty();
  }

  void run(int stopFd) {
    while (!stopped.load()) {
      std::vector<std::shared_ptr<Connection>> current;
      {
        MutexLock guard(lock);
        current = connections;
      }
      std::vector<pollfd> fds = {{wakeFd, POLLIN, 0}, {listener, POLLIN, 0}, {stopFd, POLLIN, 0}};
      for (const auto& connection : current) {
        short events = 0;
        if (!connection->readClosed && !connection->failed &&
            connection->inFlight.load() < kMaxRequestsInFlight) {
          events |= POLLIN;
        }
        if (hasOutput(*connection)) events |= POLLOUT;
        fds.push_back({connection->fd, events, 0});
      }
      int ready = ::poll(fds.data(), fds.size(), -1);
      if (ready < 0 && errno != EINTR) break;
      if (ready <= 0) continue;
      if (fds[0].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(wakeFd, &count, sizeof count);
      }
      if (stopFd >= 0 && (fds[2].revents & POLLIN)) break;
      if (fds[1].revents & POLLIN) accept();
      for (size_t i = 0; i < current.size(); ++i) {
        const auto& connection = current[i];
        bool alive = true;
        const short revents = fds[3 + i].revents;
        if (revents & (POLLIN | POLLHUP | POLLERR)) alive = receive(*connection);
        if (alive) dispatch(connection);
        if (alive) alive = flush(*connection);
        // A peer that has hung up entirely (not just ended its requests) can receive nothing;
        // poll reports that on every turn, so the connection goes now, whatever still runs.
        if (connection->readClosed && (revents & (POLLHUP | POLLERR))) alive = false;
        // With no request running, every complete frame has been started: bytes left over
        // after the peer's end are a frame it never finished. inFlight is read before the
        // outbox: a request posts its answer before it counts itself out.
        const bool idle = connection->inFlight.load() == 0;
        bool done = (connection->failed || (connection->readClosed && idle)) &&
                    !hasOutput(*connection);
        if (!alive || done) closeConnection(connection);
      }
    }
    stopped = true;
    ::close(listener);
    listener = -1;
    std::error_code ignored;
    std::filesystem::remove(socketPath, ignored);
    std::vector<std::shared_ptr<Connection>> all;
    {
      MutexLock guard(lock);
      all = connections;
    }
    for (const auto& connection : all) closeConnection(connection);
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
  state->socketPath = platform::serviceSocketPath(root);
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
  state->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (state->wakeFd < 0) {
    error = std::string("cannot create an event descriptor: ") + std::strerror(errno);
    ::unlink(path.c_str());
    return nullptr;
  }

  std::weak_ptr<State> weak = state;
  state->services.handler = state->options.handler;
  state->services.readerURL = [weak]() -> std::optional<std::string> {
    auto self = weak.lock();
    if (!self) return std::nullopt;
    MutexLock guard(self->lock);
    return self->readerURL;
  };
  state->services.reloadVisibleMessages = [weak]() -> size_t {
    auto self = weak.lock();
    return self ? self->broadcast({{"event", "reloadVisibleMessages"}}) : 0;
  };
  status = StartStatus::started;
  return std::unique_ptr<SocketServer>(new SocketServer(std::move(state)));
}

SocketServer::SocketServer(std::shared_ptr<State> state) : state_(std::move(state)) {}

SocketServer::~SocketServer() {
  if (!state_->stopped.load()) {
    std::error_code ignored;
    std::filesystem::remove(state_->socketPath, ignored);
  }
  MutexLock guard(state_->workLock);
  state_->workersEnd = true;
  state_->workReady.notify_all();
}

void SocketServer::run(int stopFd) { state_->run(stopFd); }

void SocketServer::stop() {
  state_->stopped = true;
  state_->wake();  // a write to an eventfd: safe in a signal handler
}

bool SocketServer::drain(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  MutexLock guard(state_->workLock);
  return guard.waitUntil(state_->workDone, deadline,
                         [&]() QY_REQUIRES(state_->workLock) { return state_->unfinished == 0; });
}

size_t SocketServer::broadcast(const nlohmann::json& event) { return state_->broadcast(event); }

void SocketServer::setReaderURL(std::optional<std::string> url) {
  MutexLock guard(state_->lock);
  state_->readerURL = std::move(url);
}

std::optional<std::string> SocketServer::readerURL() const { return state_->services.readerURL(); }

const std::filesystem::path& SocketServer::socketPath() const { return state_->socketPath; }

}  // namespace qy
