// Front and Connection; see front.h.
#include "web/front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qy::web {
namespace {

using Clock = std::chrono::steady_clock;

// Out of descriptors, accepting pauses this long instead of spinning on the pending connection.
constexpr std::chrono::milliseconds kAcceptPause{100};
constexpr int kBacklog = 64;

// Waits until `fd` is ready for `events`; false on timeout or error.
bool waitFor(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int n = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    if (n < 0 && errno == EINTR) continue;
    return n > 0 && (entry.revents & (events | POLLHUP)) != 0 && (entry.revents & POLLNVAL) == 0;
  }
}

void addressOf(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  const int status = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size)
                          : ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  if (status != 0 || address.sin_family != AF_INET) return;
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text)) ip = text;
  port = ntohs(address.sin_port);
}

}  // namespace

bool Connection::is_readable() const {
  return offset_ < buffer_.size() || waitFor(fd_, POLLIN, timeout_);
}

bool Connection::is_writable() const { return waitFor(fd_, POLLOUT, timeout_); }

ssize_t Connection::read(char* ptr, size_t size) {
  if (offset_ < buffer_.size()) {
    const size_t n = std::min(size, buffer_.size() - offset_);
    std::memcpy(ptr, buffer_.data() + offset_, n);
    offset_ += n;
    if (offset_ == buffer_.size()) {
      buffer_.clear();
      offset_ = 0;
    }
    return static_cast<ssize_t>(n);
  }
  for (;;) {
    const ssize_t n = ::recv(fd_, ptr, size, 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(fd_, POLLIN, timeout_)) return -1;
  }
}

ssize_t Connection::write(const char* ptr, size_t size) {
  for (;;) {
    const ssize_t n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(fd_, POLLOUT, timeout_)) return -1;
  }
}

void Connection::get_remote_ip_and_port(std::string& ip, int& port) const { addressOf(fd_, true, ip, port); }
void Connection::get_local_ip_and_port(std::string& ip, int& port) const { addressOf(fd_, false, ip, port); }

Front::Front(FrontLimits limits, Serve serve, RefusalPage refusal)
    : limits_(limits), serve_(std::move(serve)), refusal_(std::move(refusal)), uid_(::getuid()) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

Front::~Front() {
  stop();
  for (std::thread& worker : workers_)
    if (worker.joinable()) worker.join();
  if (listen_ >= 0) ::close(listen_);
  for (int fd : wake_)
    if (fd >= 0) ::close(fd);
}

bool Front::bind(int port) {
  listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_ < 0) return false;
  const int on = 1;
  (void)::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t size = sizeof address;
  if (port < 0 || port > 65535 || ::bind(listen_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listen_, kBacklog) != 0 ||
      ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    const int error = errno;
    ::close(listen_);
    listen_ = -1;
    errno = error;
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

void Front::stop() {
  {
    MutexLock lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    // A request blocked on its socket ends now; the handlers' own waits are the server's to end.
    for (int fd : serving_) ::shutdown(fd, SHUT_RDWR);
  }
  ready_.notify_all();
  if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
}

void Front::run() {
  if (listen_ < 0 || wake_[0] < 0) return;
  for (size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { work(); });
  std::vector<Pending> pending;
  Clock::time_point acceptAgain{};
  for (;;) {
    {
      MutexLock lock(mutex_);
      if (stopping_) break;
    }
    const Clock::time_point now = Clock::now();
    std::vector<pollfd> fds;
    fds.push_back({wake_[0], POLLIN, 0});
    const bool accepting = now >= acceptAgain;
    fds.push_back({accepting ? listen_ : -1, POLLIN, 0});
    Clock::time_point wakeAt = accepting ? Clock::time_point::max() : acceptAgain;
    for (const Pending& connection : pending) {
      fds.push_back({connection.fd, POLLIN, 0});
      wakeAt = std::min(wakeAt, connection.deadline);
    }
    int timeout = -1;
    if (wakeAt != Clock::time_point::max())
      timeout = static_cast<int>(std::clamp<int64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count() + 1, 0, 60'000));
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    if (fds[0].revents) {
      char drain[16];
      while (::read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    const Clock::time_point after = Clock::now();
    // Walk the pending connections as they were polled; the ones that leave are removed after.
    std::vector<bool> gone(pending.size(), false);
    for (size_t i = 0; i < pending.size(); ++i) {
      if (fds[i + 2].revents) {
        gone[i] = receive(pending[i]);
      } else if (after >= pending[i].deadline) {
        refuse(pending[i].fd, 408);
        gone[i] = true;
      }
    }
    size_t kept = 0;
    for (size_t i = 0; i < pending.size(); ++i)
      if (!gone[i]) pending[kept++] = std::move(pending[i]);
    pending.resize(kept);
    if (fds[1].revents && !accept(pending)) acceptAgain = Clock::now() + kAcceptPause;
  }
  for (const Pending& connection : pending) {
    ::close(connection.fd);
    MutexLock lock(mutex_);
    --open_;
  }
  ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

bool Front::accept(std::vector<Pending>& pending) {
  for (;;) {
    const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;  // else out of descriptors or memory
    }
    // Only the user's own programs may talk to their servers: another user's connection is
    // refused before a byte of it is read.
    const std::optional<uid_t> owner = loopbackPeerUid(fd);
    if (!owner || *owner != uid_) {
      refuse(fd, 403);
      continue;
    }
    bool full = false;
    {
      MutexLock lock(mutex_);
      full = open_ >= limits_.connections;
      if (!full) ++open_;
    }
    if (full) {
      refuse(fd, 503);
      continue;
    }
    pending.push_back({fd, std::string(), Clock::now() + limits_.headTime});
  }
}

bool Front::receive(Pending& connection) {
  char buffer[4096];
  for (;;) {
    const size_t room = limits_.head.bytes - std::min(limits_.head.bytes, connection.received.size());
    if (room == 0) break;
    const ssize_t n = ::recv(connection.fd, buffer, std::min(room, sizeof buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;  // EAGAIN: all that arrived is read
    if (n == 0) {      // the client left
      ::close(connection.fd);
      MutexLock lock(mutex_);
      --open_;
      return true;
    }
    connection.received.append(buffer, static_cast<size_t>(n));
  }
  switch (checkHead(connection.received, limits_.head)) {
    case HeadState::incomplete:
      return false;
    case HeadState::complete: {
      {
        MutexLock lock(mutex_);
        queue_.push_back(std::move(connection));
      }
      ready_.notify_one();
      return true;
    }
    case HeadState::tooLarge:
    case HeadState::tooManyLines:
      refuse(connection.fd, 431);
      break;
    case HeadState::malformed:
      refuse(connection.fd, 400);
      break;
  }
  MutexLock lock(mutex_);
  --open_;
  return true;
}

void Front::refuse(int fd, int status) {
  // One attempt without waiting: a client that does not read its refusal does not get it.
  const std::string answer = refusal_ ? refusal_(status) : std::string();
  if (!answer.empty()) (void)!::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
}

void Front::work() {
  for (;;) {
    Pending job;
    {
      MutexLock lock(mutex_);
      lock.wait(ready_, [&]() QY_NO_THREAD_SAFETY_ANALYSIS { return stopping_ || !queue_.empty(); });
      if (stopping_) {
        for (const Pending& left : queue_) ::close(left.fd);
        open_ -= queue_.size();
        queue_.clear();
        return;
      }
      job = std::move(queue_.front());
      queue_.pop_front();
      serving_.insert(job.fd);
    }
    {
      Connection connection(job.fd, std::move(job.received), limits_.ioTimeout);
      try {
        serve_(connection);
      } catch (...) {
        // The HTTP library answers a handler's exception itself; nothing else may end a worker.
      }
    }
    MutexLock lock(mutex_);
    serving_.erase(job.fd);
    --open_;
    ::close(job.fd);
  }
}

}  // namespace qy::web
