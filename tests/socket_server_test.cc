// The socket server in this process, so that the thread sanitizer sees both sides: hosts on
// threads of their own decode, open and change panels, subscribe and ask for reloads at once,
// while the engine's reload hook broadcasts.
#include "extension/service/socket_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/config/config_store.h"
#include "platform/base64.h"
#include "protocol/host_client.h"
#include "support/engine_fixture.h"

namespace qy {
namespace {

using nlohmann::json;

TEST(SocketServer, ConcurrentHostsAreEachAnsweredAndReloadsReachTheSubscribed) {
  testing::EngineFixture f;
  Config cfg;
  cfg.targetLanguage = "es";
  f.setConfig(cfg);
  ConfigStore::Store store(f.root() / "settings");
  std::filesystem::create_directories(f.root() / "settings");
  ExtensionEnvironment env;
  env.engine = &f.engine();
  env.log = [](std::string_view) {};
  env.loadConfig = [&] { return store.load(); };
  env.saveConfig = [&](const Config& c) { return store.save(c); };
  env.openApp = [] {};
  SecurityHandler handler(env);

  SocketServer::StartStatus status;
  std::string error;
  auto server = SocketServer::start({f.root(), &handler, [](std::string_view) {}}, status, error);
  ASSERT_TRUE(server) << error;
  platform::ExtensionManager::setReloader([&](platform::ExtensionManager::Completion done) {
    server->broadcast({{"event", "reloadVisibleMessages"}});
    done(std::nullopt);
  });
  std::thread loop([&] { server->run(); });

  constexpr int kHosts = 8;
  constexpr int kRounds = 12;
  std::atomic<int> events{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> hosts;
  for (int h = 0; h < kHosts; ++h) {
    hosts.emplace_back([&, h] {
      auto client = protocol::HostClient::connect(protocol::serviceSocketPath(f.root()),
                                                  std::chrono::seconds(60),
                                                  [&](const json&) { ++events; });
      if (!client) {
        ++failures;
        return;
      }
      client->request({{"op", "subscribe"}});
      for (int r = 0; r < kRounds; ++r) {
        std::string message =
            testing::plainMessage("Dear team,\n\nThe report for host " + std::to_string(h) +
                                      " round " + std::to_string(r) + " is attached here.\n",
                                  "Note " + std::to_string(r));
        auto decoded = client->request({{"op", "decodedMessage"},
                                        {"data", platform::base64Encode(message)},
                                        {"mainThread", r % 2 == 0}});
        if (!decoded || (*decoded)["ok"] != true) ++failures;
        auto panel = client->request({{"op", "primaryActionClicked"}, {"context", nullptr}});
        if (!panel || (*panel)["ok"] != true) {
          ++failures;
          continue;
        }
        json id = (*panel)["panel"]["id"];
        auto changed = client->request({{"op", "panelChanged"},
                                        {"panel", id},
                                        {"selected", {{"style", r % 3}}}});
        if (!changed || (*changed)["ok"] != true) ++failures;
        client->request({{"op", "reloadVisibleMessages"}});
        client->request({{"op", "panelClosed"}, {"panel", id}});
      }
    });
  }
  for (auto& host : hosts) host.join();
  EXPECT_EQ(failures, 0);
  EXPECT_GT(events, 0);

  server->stop();
  loop.join();
  EXPECT_TRUE(server->drain(std::chrono::seconds(60)));
  EXPECT_FALSE(std::filesystem::exists(server->socketPath()));
  platform::ExtensionManager::setReloader(nullptr);
  f.engine().waitForJobs();
}

}  // namespace
}  // namespace qy
