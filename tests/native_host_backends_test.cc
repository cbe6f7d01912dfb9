// `quillory-ext native-host` as Thunderbird runs it, over pipes: with no service it translates
// in its own process; with a running service it forwards to it and relays the service's reload
// events; when the service goes away it carries on with its own engine, still subscribed.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/base64.h"
#include "support/addon_pipe.h"
#include "support/engine_fixture.h"
#include "support/serve_process.h"

namespace qy {
namespace {

using nlohmann::json;
using testing::HostProcess;

const std::string kEnglish =
    "Dear team,\n\nThe quarterly report is attached to this message.\n\n"
    "Please review the numbers before our meeting on Friday.\n\nBest regards,\nAnna\n";

json decodeRequest(int id) {
  return {{"id", id}, {"op", "decodedMessage"}, {"mainThread", false},
          {"data", platform::base64Encode(testing::plainMessage(kEnglish, "Report " + std::to_string(id)))}};
}

// A decodedMessage answer of a translated message: the banner, and the body to show.
void expectTranslated(const json& answer) {
  ASSERT_EQ(answer.value("ok", false), true) << answer.dump();
  const json& message = answer["message"];
  ASSERT_TRUE(message.is_object()) << answer.dump();
  EXPECT_TRUE(message["banner"].is_object());
  EXPECT_NE(message.value("html", "").find("es:The quarterly report is attached"), std::string::npos)
      << message.value("html", "");
}

// Decodes until the answer is translated. A translation that outlasts the engine's first wait
// (a busy machine) is answered pending; the reload event sent when it ends brings the
// translated answer on the next try. Events seen on the way are consumed.
json decodeTranslated(testing::AddonPipe& addon, int id) {
  for (;;) {
    addon.send(decodeRequest(id));
    json answer = addon.nextAnswer();
    if (answer["message"].is_object() &&
        answer["message"].value("html", "").find("es:") != std::string::npos) {
      addon.events.clear();
      return answer;
    }
    while (addon.events.empty()) {
      json message = addon.next();
      if (message.is_null()) {
        return answer;  // the host has gone: the caller's checks say why
      }
      if (message.contains("event")) {
        addon.events.push_back(message);
      }
    }
    addon.events.clear();
  }
}

std::vector<std::string> launchedByThunderbird(const std::filesystem::path& home) {
  // Thunderbird starts the manifest's binary with the manifest's path and the add-on's id.
  return {QY_EXT_BINARY, (home / ".mozilla/native-messaging-hosts/quillory.json").string(),
          "quillory@quillory"};
}

TEST(NativeHostProcess, WithoutAServiceTranslatesInItsOwnProcess) {
  testing::ServeProcess root;  // not started: only its storage root and engine are used
  HostProcess host(launchedByThunderbird(root.home()), root.environment((root.home() / "p.log").string()));
  auto& addon = host.pipe();
  addon.send({{"id", "s"}, {"op", "subscribe"}});
  EXPECT_EQ(addon.nextAnswer()["ok"], true);
  expectTranslated(decodeTranslated(addon, 1));

  addon.send({{"id", 2}, {"op", "reloadVisibleMessages"}});
  EXPECT_EQ(addon.nextAnswer()["delivered"], 1);
  EXPECT_EQ(addon.events, std::vector<json>({{{"event", "reloadVisibleMessages"}}}));
  EXPECT_EQ(host.finish(), 0);
}

TEST(NativeHostProcess, ForwardsToTheRunningServiceAndRelaysItsEvents) {
  testing::ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  HostProcess host({QY_EXT_BINARY, "native-host"}, serve.environment((serve.home() / "p.log").string()));
  auto& addon = host.pipe();
  addon.send({{"id", "s"}, {"op", "subscribe"}});
  EXPECT_EQ(addon.nextAnswer()["id"], "s");
  expectTranslated(decodeTranslated(addon, 1));

  // The settings application asks the service to reload: the host's subscription is the
  // service's one subscribed connection, and the event reaches the add-on.
  auto app = serve.connect();
  ASSERT_TRUE(app);
  EXPECT_EQ((*app->request({{"op", "reloadVisibleMessages"}}))["delivered"], 1);
  EXPECT_EQ(addon.next(), json({{"event", "reloadVisibleMessages"}}));
  EXPECT_EQ(host.finish(), 0);
}

TEST(NativeHostProcess, CarriesOnWithItsOwnEngineWhenTheServiceGoesAway) {
  testing::ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  HostProcess host({QY_EXT_BINARY, "native-host"}, serve.environment((serve.home() / "p.log").string()));
  auto& addon = host.pipe();
  addon.send({{"id", "s"}, {"op", "subscribe"}});
  EXPECT_EQ(addon.nextAnswer()["ok"], true);
  serve.kill();

  expectTranslated(decodeTranslated(addon, 1));
  addon.send({{"id", 2}, {"op", "reloadVisibleMessages"}});
  EXPECT_EQ(addon.nextAnswer()["delivered"], 1) << "the subscription moved to the host's own engine";
  EXPECT_EQ(addon.events.size(), 1u);
  EXPECT_EQ(host.finish(), 0);
}

// A service that restarts is found again: the host forwards to the new one and is subscribed
// there (not to an engine of its own).
TEST(NativeHostProcess, FollowsTheServiceAcrossItsRestart) {
  testing::ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  HostProcess host({QY_EXT_BINARY, "native-host"}, serve.environment((serve.home() / "p.log").string()));
  auto& addon = host.pipe();
  addon.send({{"id", "s"}, {"op", "subscribe"}});
  EXPECT_EQ(addon.nextAnswer()["ok"], true);
  serve.kill();
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();

  expectTranslated(decodeTranslated(addon, 1));
  auto app = serve.connect();
  ASSERT_TRUE(app);
  EXPECT_EQ((*app->request({{"op", "reloadVisibleMessages"}}))["delivered"], 1)
      << "the host did not subscribe to the restarted service";
  EXPECT_EQ(addon.next(), json({{"event", "reloadVisibleMessages"}}));
  EXPECT_EQ(host.finish(), 0);
}

}  // namespace
}  // namespace qy

namespace qy {
namespace {

// Fields of the wrong type are answered with an error, on that request alone, with or without a
// service behind the host.
TEST(NativeHostProcess, FieldsOfTheWrongTypeAreAnsweredWithAnError) {
  for (bool withService : {false, true}) {
    SCOPED_TRACE(withService ? "forwarding to the service" : "in its own process");
    testing::ServeProcess serve;
    if (withService) {
      ASSERT_TRUE(serve.start()) << serve.serviceErrors();
    }
    HostProcess host({QY_EXT_BINARY, "native-host"},
                     serve.environment((serve.home() / "p.log").string()));
    auto& addon = host.pipe();
    const json kBad[] = {
        {{"id", 1}, {"op", 5}},
        {{"id", 2}, {"op", nullptr}},
        {{"id", 3}, {"op", "hello"}, {"version", "1"}},
        {{"id", 4}, {"op", "decodedMessage"}, {"data", 7}},
        {{"id", 5}, {"op", "panelClosed"}, {"panel", 1e300}},
        {{"id", 6}, {"op", "process"}, {"data", ""}, {"wait", "soon"}},
    };
    for (const json& request : kBad) {
      addon.send(request);
      json answer = addon.nextAnswer();
      EXPECT_EQ(answer["id"], request["id"]) << answer.dump();
      EXPECT_EQ(answer["ok"], false) << answer.dump();
      EXPECT_TRUE(answer["error"].is_string()) << answer.dump();
    }
    addon.send({{"id", 7}, {"op", "hello"}, {"version", 1}});
    EXPECT_EQ(addon.nextAnswer()["ok"], true);
    EXPECT_EQ(host.finish(), 0);
  }
}

}  // namespace
}  // namespace qy
