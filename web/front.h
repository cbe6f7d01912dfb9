// Front: the listening socket of a local web server, and each connection on it until its request
// head has arrived; then a worker of its own runs the request.
//
// The HTTP library would read every request head on one of its fixed threads, with no bound on
// the connections, the header lines or the time a head may take, so a handful of slow clients
// could hold every thread and one huge head could take hundreds of megabytes. Here one thread
// accepts and reads heads without blocking, within HeadLimits and `headTime`; a connection from
// another user is refused at once (its owner is read from the kernel's socket table), as are
// connections beyond `connections`; only a complete head reaches a worker. Each connection
// carries one request (the answer says "Connection: close"), so every head passes these checks.
//
// Threads: bind() then run() on one thread; run() returns after stop() (any thread, a signal
// thread too) once the workers have ended. Serve runs on the workers.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/base/thread_annotations.h"
#include "web/request_head.h"

namespace qy::web {

struct FrontLimits {
  HeadLimits head;
  size_t connections = 128;           // open at once, waiting for a head or being served
  std::chrono::milliseconds headTime{10'000};  // from accept to the end of the head
  size_t workers = 24;                // requests served at once
  std::chrono::milliseconds ioTimeout{10'000};  // one read or write after the head
  bool operator==(const FrontLimits&) const = default;
};

// One accepted connection as the HTTP library reads and writes it: the bytes of the head that
// the front already read come first, then the socket.
class Connection final : public httplib::Stream {
 public:
  Connection(int fd, std::string received, std::chrono::milliseconds timeout)
      : fd_(fd), buffer_(std::move(received)), timeout_(timeout) {}
  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  int socket() const override { return fd_; }

 private:
  int fd_;
  std::string buffer_;
  size_t offset_ = 0;
  std::chrono::milliseconds timeout_;
};

// The answer the front writes itself when it refuses a connection: status and its page.
using RefusalPage = std::function<std::string(int status)>;

class Front {
 public:
  using Serve = std::function<void(Connection&)>;

  Front(FrontLimits limits, Serve serve, RefusalPage refusal);
  ~Front();
  Front(const Front&) = delete;
  Front& operator=(const Front&) = delete;

  // Binds 127.0.0.1:port (0: a free port). False when that fails (errno tells why).
  bool bind(int port);
  int port() const { return port_; }
  int listeningSocket() const { return listen_; }
  void run() QY_EXCLUDES(mutex_);
  void stop();

 private:
  struct Pending {
    int fd = -1;
    std::string received;
    std::chrono::steady_clock::time_point deadline;
  };
  // Takes every waiting connection; false when accepting failed for want of descriptors.
  bool accept(std::vector<Pending>& pending) QY_EXCLUDES(mutex_);
  // Reads what arrived; true when the connection leaves `pending` (handed over or refused).
  bool receive(Pending& connection) QY_EXCLUDES(mutex_);
  void refuse(int fd, int status) QY_EXCLUDES(mutex_);
  void work() QY_EXCLUDES(mutex_);

  const FrontLimits limits_;
  const Serve serve_;
  const RefusalPage refusal_;
  const uid_t uid_;
  int listen_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};

  Mutex mutex_;
  std::condition_variable ready_;
  bool stopping_ QY_GUARDED_BY(mutex_) = false;
  size_t open_ QY_GUARDED_BY(mutex_) = 0;  // accepted and not yet closed
  std::deque<Pending> queue_ QY_GUARDED_BY(mutex_);
  std::set<int> serving_ QY_GUARDED_BY(mutex_);
  std::vector<std::thread> workers_;
};

}  // namespace qy::web
