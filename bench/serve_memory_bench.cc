// The peak memory of a real `quillory-ext serve` (VmHWM) under three hostile loads from hosts of
// its own user, each on a fresh service:
//
// 1. A host that never reads its answers: it sends requests (hello, with a 1 MiB id that every
//    answer echoes) as fast as the service takes them, up to 2 GiB, and keeps its connection.
//    Also the service's resident set after the host has left.
// 2. 50 subscribed hosts that never read, while another host asks for 100,000 reloads (each one
//    an event to every subscriber).
// 3. One 64 MiB frame of tiny JSON values; meanwhile a second host measures how long `hello`
//    takes (the longest round trip), which tells whether the frame stalls everyone else.
//
// Usage: serve_memory_bench [path to quillory-ext] (default: the one built beside it), so that
// the figures of an older build can be taken with the same loads.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/host_client.h"
#include "protocol/host_frame.h"
#include "support/raw_socket.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using qy::test::connectRaw;
using qy::test::sendPatiently;

// A `serve` on a fresh storage root, with no translation engine (none of these loads needs one).
class Service {
 public:
  explicit Service(const std::string& binary) {
    char pattern[] = "/tmp/qy-serve-memory-XXXXXX";
    root_ = ::mkdtemp(pattern);
    std::ofstream(root_ / "config.json") << R"({"targetLanguage": "es"})";
    std::ofstream(root_ / "translators.json") << R"({"apertium": false, "commands": []})";
    ::chmod((root_ / "config.json").c_str(), 0600);
    ::chmod((root_ / "translators.json").c_str(), 0600);
    const std::string home = "QY_HOME=" + root_.string();
    pid_ = ::fork();
    if (pid_ == 0) {
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::putenv(const_cast<char*>(home.c_str()));
      ::execl(binary.c_str(), binary.c_str(), "serve", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 3000 && !qy::protocol::HostClient::connect(socket(), std::chrono::seconds(5));
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~Service() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::filesystem::path socket() const { return qy::protocol::serviceSocketPath(root_); }
  bool alive() const { return ::kill(pid_, 0) == 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

  // A field of /proc/PID/status, in KiB.
  long statusKiB(const char* name) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind(name, 0) == 0) return std::stol(line.substr(std::strlen(name) + 1));
    }
    return -1;
  }

 private:
  std::filesystem::path root_;
  pid_t pid_ = -1;
};

double mib(long kib) { return static_cast<double>(kib) / 1024.0; }

void unreadAnswers(const std::string& binary) {
  Service service(binary);
  const long start = service.statusKiB("VmHWM:");
  int fd = connectRaw(service.socket());
  const std::string id(1 << 20, 'x');
  const std::string frame =
      qy::protocol::encodeFrame(json{{"id", id}, {"op", "hello"}, {"version", 1}});
  size_t sent = 0;
  const auto began = Clock::now();
  while (sent < 2048 && sendPatiently(fd, frame, std::chrono::milliseconds(3000))) ++sent;
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long peak = service.statusKiB("VmHWM:");
  ::close(fd);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::printf("1. unread answers:   %4zu requests of 1 MiB taken in %.1f s; peak %7.1f MiB "
              "(%.1f at start), %7.1f MiB kept after the host left%s\n",
              sent, seconds, mib(peak), mib(start), mib(service.statusKiB("VmRSS:")),
              service.alive() ? "" : " [the service died]");
}

void unreadEvents(const std::string& binary) {
  Service service(binary);
  std::vector<int> subscribers;
  const std::string subscribe = qy::protocol::encodeFrame(json{{"id", 1}, {"op", "subscribe"}});
  for (int i = 0; i < 50; ++i) {
    int fd = connectRaw(service.socket());
    sendPatiently(fd, subscribe, std::chrono::milliseconds(3000));
    subscribers.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  constexpr int kReloads = 100'000;
  constexpr int kDrivers = 4;
  std::atomic<int> failed{0};
  const auto began = Clock::now();
  std::vector<std::thread> drivers;
  for (int d = 0; d < kDrivers; ++d) {
    drivers.emplace_back([&] {
      auto client = qy::protocol::HostClient::connect(service.socket(), std::chrono::seconds(30));
      for (int i = 0; i < kReloads / kDrivers; ++i) {
        if (!client || !client->request({{"op", "reloadVisibleMessages"}})) {
          ++failed;
          return;
        }
      }
    });
  }
  for (auto& driver : drivers) driver.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  std::printf("2. unread events:    %d reloads to 50 subscribers in %.1f s; peak %7.1f MiB%s\n",
              kReloads, seconds, mib(service.statusKiB("VmHWM:")),
              failed ? " [requests failed]" : "");
  for (int fd : subscribers) ::close(fd);
}

void tinyValues(const std::string& binary) {
  Service service(binary);
  std::string body = R"({"id":1,"op":"hello","version":1,"pad":[0)";
  body.reserve(qy::protocol::kMaxFrameSize);
  while (body.size() + 4 < qy::protocol::kMaxFrameSize) body += ",0";
  body += "]}";
  const std::string frame = qy::protocol::frameHeader(body.size()) + body;
  std::string().swap(body);

  std::atomic<bool> done{false};
  std::atomic<long> longestMs{0};
  std::thread prober([&] {
    auto client = qy::protocol::HostClient::connect(service.socket(), std::chrono::seconds(30));
    while (client && !done) {
      const auto t0 = Clock::now();
      client->request({{"op", "hello"}, {"version", 1}});
      long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
      longestMs = std::max(longestMs.load(), ms);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int fd = connectRaw(service.socket());
  const auto began = Clock::now();
  sendPatiently(fd, frame, std::chrono::seconds(60));
  std::string answer;
  char buffer[4096];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
    answer.append(buffer, static_cast<size_t>(n));
    qy::protocol::FrameReader reader;
    reader.feed(answer);
    if (reader.next()) break;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  done = true;
  prober.join();
  qy::protocol::FrameReader reader;
  reader.feed(answer);
  auto got = reader.next();
  std::string outcome = !got || !got->error.empty() ? "no answer"
                        : qy::protocol::field<bool>(got->object, "ok") == true
                            ? "accepted"
                            : "refused: " + qy::protocol::field<std::string>(got->object, "error")
                                                .value_or("");
  std::printf("3. tiny values:      a 64 MiB frame answered in %.1f s (%s); peak %7.1f MiB; "
              "longest hello meanwhile %ld ms\n",
              seconds, outcome.c_str(), mib(service.statusKiB("VmHWM:")), longestMs.load());
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::string binary = argc > 1 ? argv[1] : QY_EXT_BINARY;
  std::printf("serve: %s\n", binary.c_str());
  unreadAnswers(binary);
  unreadEvents(binary);
  tinyValues(binary);
  return 0;
}
