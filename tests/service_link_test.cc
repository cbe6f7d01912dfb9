// The settings application's requests to the running service: against a real `quillory-ext
// serve`, against a stand-in on a real Unix socket (for answers the real one never gives), and
// with no service at all.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/service_link.h"
#include "app/settings_model.h"
#include "protocol/host_client.h"
#include "protocol/host_frame.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"

namespace qy::app {
namespace {

using nlohmann::json;

// Answers `hello` (with `reader`) and `reloadVisibleMessages` on each connection, one at a time,
// and records the ops it was sent.
class StandInService {
 public:
  StandInService(const std::filesystem::path& socket, json reader) : reader_(std::move(reader)) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~StandInService() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::vector<std::string> ops() {
    std::lock_guard hold(mutex_);
    return ops_;
  }

 private:
  void serve() {
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      protocol::FrameReader reader;
      char buffer[4096];
      for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        reader.feed(std::string_view(buffer, static_cast<size_t>(n)));
        while (std::optional<protocol::FrameReader::Frame> frame = reader.next()) {
          const std::string op = frame->object.value("op", "");
          {
            std::lock_guard hold(mutex_);
            ops_.push_back(op);
          }
          json answer = {{"id", frame->object["id"]}, {"ok", true}};
          if (op == "hello") {
            answer["version"] = 1;
            answer["server"] = "quillory-ext";
            answer["reader"] = reader_;
          } else if (op == "reloadVisibleMessages") {
            answer["delivered"] = 2;
          }
          const std::string bytes = protocol::encodeFrame(answer);
          if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) break;
        }
      }
      ::close(fd);
    }
  }

  json reader_;
  int listener_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> ops_;
};

TEST(ServiceLink, ReloadAndReaderGoToTheRunningService) {
  testing::TempDir root;
  StandInService service(protocol::serviceSocketPath(root.path()), "http://127.0.0.1:8765/");
  EXPECT_EQ(askServiceToReload(root.path()), 2);
  EXPECT_EQ(serviceReaderURL(root.path()), "http://127.0.0.1:8765/");
  const std::vector<std::string> want = {"hello", "reloadVisibleMessages", "hello"};
  EXPECT_EQ(service.ops(), want);
}

TEST(ServiceLink, AReaderThatIsNoLocalPageIsNotOpened) {
  for (const json& reader : {json(nullptr), json("https://mail.example/"), json(5)}) {
    testing::TempDir root;
    StandInService service(protocol::serviceSocketPath(root.path()), reader);
    EXPECT_EQ(serviceReaderURL(root.path()), std::nullopt) << reader.dump();
  }
}

TEST(ServiceLink, ASavedChangeReachesTheHostsOfTheRealService) {
  testing::ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<json> events;
  auto host = serve.connect([&](const json& event) {
    std::lock_guard hold(mutex);
    events.push_back(event);
    arrived.notify_all();
  });
  ASSERT_TRUE(host);
  ASSERT_EQ(host->request({{"op", "subscribe"}}).value_or(json())["ok"], true);

  // The model as the application builds it, with its save delay on a real timer.
  SettingsModelOptions options;
  options.root = serve.home();
  options.reloadVisibleMessages = [&] { (void)askServiceToReload(serve.home()); };
  options.systemctl = "/nonexistent";
  {
    SettingsModel model(std::move(options));
    Config cfg = model.snapshot().cfg;
    cfg.style = "plain";
    model.setConfig(cfg);
    std::unique_lock hold(mutex);
    arrived.wait(hold, [&] { return !events.empty(); });
  }
  EXPECT_EQ(events[0], (json{{"event", "reloadVisibleMessages"}}));
  EXPECT_EQ(json::parse(testing::readFile(serve.home() / "config.json"))["style"], "plain");
  EXPECT_EQ(serviceReaderURL(serve.home()), std::nullopt) << "serve without --reader";
}

TEST(ServiceLink, AServiceStartedByHandShowsAsRunningWhateverItsRegistration) {
  testing::ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  EXPECT_TRUE(serviceAnswers(serve.home()));
  struct Case {
    const char* name;
    std::string systemctl;  // no such program: systemd knows no unit
    std::string state;
  };
  const std::string script = (serve.home() / "systemctl").string();
  testing::writeFile(script, "#!/bin/sh\necho disabled\n");
  ::chmod(script.c_str(), 0700);
  const Case kCases[] = {
      {"no unit", "/nonexistent",
       "服务正在运行（登录时不会自动启动：运行“quillory-ext install-service”让它自动启动）"},
      {"unit disabled", script,
       "服务正在运行（登录时不会自动启动：运行“systemctl --user enable "
       "quillory-ext.service”让它自动启动）"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    SettingsModelOptions options;
    options.root = serve.home();
    options.systemctl = c.systemctl;
    options.serviceAnswers = [&] { return serviceAnswers(serve.home()); };
    SettingsModel model(std::move(options));
    model.waitIdle();
    EXPECT_EQ(model.snapshot().extensionState, c.state);
    EXPECT_TRUE(model.snapshot().extensionEnabled);
  }

  // Once it has stopped, the registration alone speaks again.
  ASSERT_EQ(serve.stop(), 0);
  EXPECT_FALSE(serviceAnswers(serve.home()));
  SettingsModelOptions options;
  options.root = serve.home();
  options.systemctl = "/nonexistent";
  options.serviceAnswers = [&] { return serviceAnswers(serve.home()); };
  SettingsModel model(std::move(options));
  model.waitIdle();
  EXPECT_EQ(model.snapshot().extensionState,
            "系统还没登记这个扩展。运行“quillory-ext install-service”后点“重新检查”。");
  EXPECT_FALSE(model.snapshot().extensionEnabled);
}

TEST(ServiceLink, NoServiceMeansNothingHappens) {
  testing::TempDir root;
  EXPECT_FALSE(serviceAnswers(root.path()));
  EXPECT_EQ(askServiceToReload(root.path()), std::nullopt);
  EXPECT_EQ(serviceReaderURL(root.path()), std::nullopt);
}

}  // namespace
}  // namespace qy::app
