// A real `quillory-ext serve` at the edges of what it may hold: a task limit, a descriptor limit,
// hosts that never read their answers or events, a request too large for a frame, a stop while
// a request runs, and a kill -9 while its engine is busy.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "platform/base64.h"
#include "protocol/host_frame.h"
#include "support/engine_fixture.h"
#include "support/raw_socket.h"
#include "support/serve_process.h"

namespace qy {
namespace {

using nlohmann::json;
using testing::ServeProcess;
using Clock = std::chrono::steady_clock;

// How long anything a test waits for may take on a busy machine.
constexpr auto kPatience = std::chrono::seconds(120);

const std::string kEnglish =
    "Dear team,\n\nThe quarterly report is attached to this message.\n\n"
    "Please review the numbers before our meeting on Friday.\n\nBest regards,\nAnna\n";

json processRequest(const json& id) {
  return {{"id", id},
          {"op", "process"},
          {"wait", nullptr},
          {"data", platform::base64Encode(testing::plainMessage(kEnglish, "Report"))}};
}

using test::connectRaw;
using test::sendPatiently;

// Reads frames from `fd` until `stop` says so or the connection ends; the frames read.
std::vector<json> readFrames(int fd, const std::function<bool(const json&)>& stop) {
  std::vector<json> frames;
  protocol::FrameReader reader;
  char buffer[65536];
  for (;;) {
    while (auto frame = reader.next()) {
      if (!frame->error.empty()) return frames;
      frames.push_back(frame->object);
      if (stop(frames.back())) return frames;
    }
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return frames;
    reader.feed(std::string_view(buffer, static_cast<size_t>(n)));
  }
}

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits until `ready` holds; whether it came to that.
bool waitUntil(const std::function<bool()>& ready) {
  const auto deadline = Clock::now() + kPatience;
  while (!ready()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Whether process `pid` has ended (a zombie counts: it runs no more).
bool ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  size_t paren = text.rfind(')');
  return paren == std::string::npos || text.compare(paren + 2, 1, "Z") == 0;
}

// User and system CPU seconds of process `pid`.
double cpuSeconds(pid_t pid) {
  std::string text = readText("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stod(field);  // utime, stime
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A pids cgroup of its own (systemd's TasksMax is one), removed at the end; empty when this
// machine offers none to us.
class TaskGroup {
 public:
  TaskGroup() {
    std::error_code error;
    std::filesystem::path path =
        "/sys/fs/cgroup/pids/qy-test-" + std::to_string(::getpid()) + "-" +
        std::to_string(Clock::now().time_since_epoch().count());
    if (::geteuid() == 0 && std::filesystem::create_directory(path, error)) path_ = path;
  }
  ~TaskGroup() {
    if (path_.empty()) return;
    waitUntil([&] { return ::rmdir(path_.c_str()) == 0 || errno != EBUSY; });
  }
  const std::filesystem::path& path() const { return path_; }
  long current() const { return std::stol(readText(path_ / "pids.current")); }
  void limit(long tasks) const { std::ofstream(path_ / "pids.max") << tasks; }
  // How often a task could not be started for the limit.
  long refused() const {
    std::string events = readText(path_ / "pids.events");  // "max N"
    return events.size() > 4 ? std::stol(events.substr(4)) : 0;
  }

 private:
  std::filesystem::path path_;
};

TEST(ServeLimits, UnderATaskLimitEveryRequestIsAnsweredAndTheServiceStaysUp) {
  TaskGroup group;
  if (group.path().empty()) GTEST_SKIP() << "no pids cgroup to create here (needs root)";
  ServeProcess serve;
  ASSERT_TRUE(serve.start({.resources = {}, .cgroup = group.path()})) << serve.serviceErrors();
  {
    auto warm = serve.connect();  // the engine and its provider start
    ASSERT_TRUE(warm);
    EXPECT_EQ((*warm->request(processRequest(0)))["ok"], true);
  }
  group.limit(group.current() + 4);  // far fewer threads than requests
  serve.holdTranslations();

  constexpr int kConnections = 40;
  std::vector<int> hosts;
  for (int c = 0; c < kConnections; ++c) {
    int fd = connectRaw(serve.socket());
    ASSERT_GE(fd, 0);
    std::string frames;
    for (size_t r = 0; r < protocol::kMaxRequestsInFlight; ++r) frames += protocol::encodeFrame(processRequest(r));
    ASSERT_TRUE(sendPatiently(fd, frames, std::chrono::seconds(60)));
    hosts.push_back(fd);
  }
  ASSERT_TRUE(waitUntil([&] { return group.refused() > 0; })) << "the limit was never reached";
  EXPECT_FALSE(ended(serve.pid())) << serve.serviceErrors();

  serve.releaseTranslations();
  for (int fd : hosts) {
    size_t answers = 0;
    readFrames(fd, [&](const json& frame) {
      EXPECT_EQ(frame["ok"], true) << frame.dump().substr(0, 300);
      return ++answers == protocol::kMaxRequestsInFlight;
    });
    EXPECT_EQ(answers, protocol::kMaxRequestsInFlight);
    ::close(fd);
  }
  auto late = serve.connect();
  ASSERT_TRUE(late);
  EXPECT_EQ((*late->request({{"op", "hello"}, {"version", 1}}))["ok"], true);
}

TEST(ServeLimits, OutOfDescriptorsTheServiceWaitsWithoutSpinning) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start({.resources = {{RLIMIT_NOFILE, 64}}, .cgroup = {}})) << serve.serviceErrors();
  std::vector<int> waiting;
  for (int i = 0; i < 120; ++i) {
    int fd = connectRaw(serve.socket(), /*nonBlocking=*/true);
    if (fd >= 0) waiting.push_back(fd);
  }
  ASSERT_GT(waiting.size(), 64u);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double before = cpuSeconds(serve.pid());
  const auto began = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double used = cpuSeconds(serve.pid()) - before;
  const double wall = std::chrono::duration<double>(Clock::now() - began).count();
  EXPECT_LT(used, 0.3 * wall) << "CPU seconds in " << wall << " s";
  // Once the hosts leave, their descriptors come back and new hosts are served.
  for (int fd : waiting) ::close(fd);
  std::unique_ptr<protocol::HostClient> later;
  ASSERT_TRUE(waitUntil([&] { return (later = serve.connect()) != nullptr; }));
  EXPECT_EQ((*later->request({{"op", "hello"}, {"version", 1}}))["ok"], true);
}

TEST(ServeLimits, AHostThatReadsNoAnswersIsNoLongerRead) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  int fd = connectRaw(serve.socket());
  ASSERT_GE(fd, 0);
  // Each answer echoes the 1 MiB id.
  const std::string frame =
      protocol::encodeFrame({{"id", std::string(1 << 20, 'x')}, {"op", "hello"}, {"version", 1}});
  int taken = 0;
  while (taken < 400 && sendPatiently(fd, frame, std::chrono::seconds(5))) ++taken;
  EXPECT_LT(taken, 200) << "the service kept reading a host that reads nothing";
  auto other = serve.connect();
  ASSERT_TRUE(other);
  EXPECT_EQ((*other->request({{"op", "hello"}, {"version", 1}}))["ok"], true);
  ::close(fd);
}

TEST(ServeLimits, ReloadEventsForAHostThatDoesNotReadAreNotQueuedTwice) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  int subscriber = connectRaw(serve.socket());
  ASSERT_GE(subscriber, 0);
  ASSERT_TRUE(sendPatiently(subscriber, protocol::encodeFrame({{"id", "s"}, {"op", "subscribe"}}),
                            std::chrono::seconds(60)));
  auto app = serve.connect();
  ASSERT_TRUE(app);
  ASSERT_TRUE(waitUntil([&] {
    return (*app->request({{"op", "reloadVisibleMessages"}}))["delivered"] == 1;
  }));
  constexpr int kReloads = 3000;
  for (int i = 0; i < kReloads; ++i) {
    ASSERT_EQ((*app->request({{"op", "reloadVisibleMessages"}}))["delivered"], 1);
  }
  // The host reads at last: the events waiting, then the answer to its request after them.
  ASSERT_TRUE(sendPatiently(subscriber,
                            protocol::encodeFrame({{"id", "end"}, {"op", "hello"}, {"version", 1}}),
                            std::chrono::seconds(60)));
  auto frames = readFrames(subscriber, [](const json& frame) { return frame.value("id", "") == "end"; });
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back()["id"], "end");
  const auto events = std::count_if(frames.begin(), frames.end(),
                                    [](const json& frame) { return frame.contains("event"); });
  EXPECT_GE(events, 1);
  EXPECT_LT(events, kReloads / 2);
  ::close(subscriber);
}

TEST(ServeLimits, ARequestOverTheFrameLimitFailsAloneAndTheConnectionGoesOn) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  auto client = serve.connect();
  ASSERT_TRUE(client);
  serve.holdTranslations();
  auto running = std::async(std::launch::async, [&] { return client->request(processRequest(1)); });
  // 49 MiB of message is over 64 MiB in Base64.
  std::string message = testing::plainMessage(std::string(49 << 20, 'a'), "Large");
  auto answer = client->request(
      {{"op", "decodedMessage"}, {"mainThread", true}, {"data", platform::base64Encode(message)}});
  ASSERT_TRUE(answer) << "the connection was lost";
  EXPECT_EQ((*answer)["ok"], false);
  EXPECT_EQ((*answer)["error"], "邮件太大：发给扩展服务需要 66 MiB，超过了一次最多 64 MiB 的上限");
  EXPECT_EQ((*client->request({{"op", "hello"}, {"version", 1}}))["ok"], true);
  serve.releaseTranslations();
  auto finished = running.get();
  ASSERT_TRUE(finished) << "the request running beside it was lost";
  EXPECT_EQ((*finished)["ok"], true);
}

// The engine's note of the batch it holds ("<pid> <texts>"), once it has written the whole line;
// empty when none came.
std::string batchLine(ServeProcess& serve) {
  const auto providerLog = serve.home() / "service-provider.log";
  if (!waitUntil([&] { return readText(providerLog).find('\n') != std::string::npos; })) return {};
  return readText(providerLog);
}

TEST(ServeLimits, SigtermLetsTheRunningRequestAnswerBeforeClosing) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  auto client = serve.connect();
  ASSERT_TRUE(client);
  serve.holdTranslations();
  auto running = std::async(std::launch::async, [&] { return client->request(processRequest(1)); });
  const std::string batch = batchLine(serve);
  ASSERT_FALSE(batch.empty()) << "no batch reached the engine";

  ::kill(serve.pid(), SIGTERM);
  ASSERT_TRUE(waitUntil([&] { return !std::filesystem::exists(serve.socket()); }));
  serve.releaseTranslations();
  auto answer = running.get();
  ASSERT_TRUE(answer) << "the connection was closed before the answer";
  EXPECT_EQ((*answer)["ok"], true);
  EXPECT_EQ((*answer)["result"]["context"]["s"], "done") << (*answer)["result"].dump();  // translated
  EXPECT_EQ(serve.wait(), 0);
}

TEST(ServeLimits, AnEngineBusyWithABatchDiesWithAKilledService) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  auto client = serve.connect();
  ASSERT_TRUE(client);
  serve.holdTranslations();
  auto running = std::async(std::launch::async, [&] { return client->request(processRequest(1)); });
  const std::string batch = batchLine(serve);
  ASSERT_FALSE(batch.empty()) << "no batch reached the engine";
  const pid_t engine = std::stoi(batch);  // "<pid> <texts>"

  serve.kill();
  EXPECT_TRUE(waitUntil([&] { return ended(engine); })) << "the engine outlived the service";
  serve.releaseTranslations();
  EXPECT_FALSE(running.get());
}

}  // namespace
}  // namespace qy
