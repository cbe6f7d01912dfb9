// A host's lasting connection to the service: it follows a real `quillory-ext serve` across a
// restart on its own, subscribed, before the host sends anything; a `subscribe` that meets a
// reconnection leaves the new connection subscribed (against a stand-in service on a real Unix
// socket, which can close a connection right after answering); and it stops at once when
// destroyed while waiting to retry.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/host_frame.h"
#include "protocol/service_connection.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"

namespace qy::protocol {
namespace {

using nlohmann::json;

// What the connection under test reports: events and reconnections, waited for by count.
class Observed {
 public:
  void event(const json& frame) {
    std::lock_guard hold(mutex_);
    events_.push_back(frame);
    changed_.notify_all();
  }
  void reconnected() {
    std::lock_guard hold(mutex_);
    ++reconnects_;
    changed_.notify_all();
  }
  void waitForEvents(size_t count) {
    std::unique_lock hold(mutex_);
    changed_.wait(hold, [&] { return events_.size() >= count; });
  }
  void waitForReconnects(int count) {
    std::unique_lock hold(mutex_);
    changed_.wait(hold, [&] { return reconnects_ >= count; });
  }
  std::vector<json> events() {
    std::lock_guard hold(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<json> events_;
  int reconnects_ = 0;
};

ServiceConnectionOptions optionsFor(const std::filesystem::path& socket, Observed& observed) {
  ServiceConnectionOptions options;
  options.socketPath = socket;
  options.onEvent = [&observed](const json& frame) { observed.event(frame); };
  options.onReconnect = [&observed] { observed.reconnected(); };
  options.firstRetry = std::chrono::milliseconds(20);
  options.lastRetry = std::chrono::milliseconds(200);
  return options;
}

TEST(ServiceConnection, FollowsARestartedServiceBeforeTheHostAsksAnything) {
  testing::ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  Observed observed;
  ServiceConnectionOptions options = optionsFor(serve.socket(), observed);
  options.subscribe = true;
  ServiceConnection connection(std::move(options));
  ASSERT_TRUE(connection.connect());
  EXPECT_EQ(serve.reloadsDelivered(), 1);
  observed.waitForEvents(1);

  for (int restart = 1; restart <= 2; ++restart) {
    SCOPED_TRACE(restart);
    serve.kill();
    ASSERT_TRUE(serve.start()) << serve.serviceErrors();
    observed.waitForReconnects(restart);
    EXPECT_EQ(serve.reloadsDelivered(), 1) << "reconnected, but not subscribed";
    observed.waitForEvents(static_cast<size_t>(restart) + 1);
  }
  EXPECT_EQ(observed.events().back(), (json{{"event", "reloadVisibleMessages"}}));
}

TEST(ServiceConnection, ARequestAfterTheServiceWentAwayFindsTheNewOne) {
  testing::ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  Observed observed;
  ServiceConnection connection(optionsFor(serve.socket(), observed));
  ASSERT_TRUE(connection.connect());
  ASSERT_EQ(connection.request({{"op", "subscribe"}}).value_or(json())["ok"], true);
  EXPECT_TRUE(connection.subscribed());

  serve.kill();
  EXPECT_EQ(connection.request({{"op", "hello"}, {"version", 1}}), std::nullopt) << "no service";
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  // Whoever connects first, the request or the thread, the connection is subscribed.
  EXPECT_EQ(connection.request({{"op", "hello"}, {"version", 1}}).value_or(json())["ok"], true);
  EXPECT_EQ(serve.reloadsDelivered(), 1);
}

// A service on a Unix socket that answers `hello` and `subscribe`, records each connection's ops
// in order, and closes its first connection right after answering `subscribe` there: the host's
// subscription meets the connection's end.
class ClosingService {
 public:
  explicit ClosingService(const std::filesystem::path& socket) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 8), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~ClosingService() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  // The ops each connection received, in the order the connections were accepted.
  std::vector<std::vector<std::string>> ops() {
    std::lock_guard hold(mutex_);
    return ops_;
  }

 private:
  // One connection at a time: the host keeps at most one open once the first has ended.
  void serve() {
    for (size_t connection = 0;; ++connection) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      {
        std::lock_guard hold(mutex_);
        ops_.emplace_back();
      }
      FrameReader reader;
      char buffer[4096];
      bool open = true;
      for (ssize_t n; open && (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        reader.feed(std::string_view(buffer, static_cast<size_t>(n)));
        while (std::optional<FrameReader::Frame> frame = reader.next()) {
          const std::string op = frame->object.value("op", "");
          {
            std::lock_guard hold(mutex_);
            ops_[connection].push_back(op);
          }
          json answer = {{"id", frame->object["id"]}, {"ok", true}};
          if (op == "hello") answer["version"] = 1;
          const std::string bytes = encodeFrame(answer);
          if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) open = false;
          if (op == "subscribe" && connection == 0) open = false;
        }
      }
      ::close(fd);
    }
  }

  int listener_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::vector<std::string>> ops_;
};

TEST(ServiceConnection, ASubscribeThatMeetsTheEndOfItsConnectionHoldsForTheNextOne) {
  // The end and the answer arrive together; whichever the connection sees first, the connection
  // made next subscribes before it is used. Repeated, since the two race.
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    testing::TempDir root;
    ClosingService service(root.path() / "ext.sock");
    Observed observed;
    ServiceConnection connection(optionsFor(root.path() / "ext.sock", observed));
    ASSERT_TRUE(connection.connect());
    ASSERT_EQ(connection.request({{"op", "subscribe"}}).value_or(json())["ok"], true);
    observed.waitForReconnects(1);
    const auto ops = service.ops();
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[0], (std::vector<std::string>{"hello", "subscribe"}));
    EXPECT_EQ(ops[1], (std::vector<std::string>{"hello", "subscribe"}));
  }
}

TEST(ServiceConnection, StopsAtOnceWhileWaitingToRetry) {
  testing::ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  Observed observed;
  ServiceConnectionOptions options = optionsFor(serve.socket(), observed);
  // Were destruction to wait out a pause, the test would outlast its time limit.
  options.firstRetry = options.lastRetry = std::chrono::hours(24);
  auto connection = std::make_unique<ServiceConnection>(std::move(options));
  ASSERT_TRUE(connection->connect());
  serve.kill();
  connection.reset();

  // Closed by hand, it reaches no service any more, even a running one.
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  ServiceConnection closed(optionsFor(serve.socket(), observed));
  ASSERT_TRUE(closed.connect());
  closed.close();
  EXPECT_EQ(closed.request({{"op", "hello"}, {"version", 1}}), std::nullopt);
  EXPECT_FALSE(closed.connect());
}

}  // namespace
}  // namespace qy::protocol
