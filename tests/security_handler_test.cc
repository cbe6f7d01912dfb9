// The security handler against the kit's types: decoded messages by outcome, the reload hook,
// and the banner button by state.
#include "extension/bridge/security_handler.h"

#include <gtest/gtest.h>

#include <mutex>

#include "extension/bridge/panel_view_controller.h"
#include "support/engine_fixture.h"

namespace qy {
namespace {

using testing::EngineFixture;
using testing::plainMessage;

const std::string kEnglish =
    "Dear team,\n\nThe quarterly report is attached to this message.\n\n"
    "Please review the numbers before our meeting on Friday.\n\nBest regards,\nAnna\n";

Config spanish() {
  Config cfg;
  cfg.targetLanguage = "es";
  cfg.firstPaintSeconds = 600;  // off the main thread a display waits for the whole job
  return cfg;
}

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
ByteView view(const std::string& text) {
  return ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// A handler over the fixture's engine, its log lines kept.
struct HandlerFixture {
  EngineFixture f;
  std::shared_ptr<std::vector<std::string>> lines = std::make_shared<std::vector<std::string>>();
  std::shared_ptr<std::mutex> lock = std::make_shared<std::mutex>();
  SecurityHandler handler{environment()};

  ExtensionEnvironment environment() {
    ExtensionEnvironment env;
    env.engine = &f.engine();
    env.log = [lines = lines, lock = lock](std::string_view line) {
      std::lock_guard guard(*lock);
      lines->emplace_back(line);
    };
    env.loadConfig = [] { return Config{}; };
    env.saveConfig = [](const Config&) { return true; };
    env.openApp = [] {};
    return env;
  }
  std::vector<std::string> log() {
    std::lock_guard guard(*lock);
    return *lines;
  }
  std::map<std::string, std::string> context(const platform::DecodedMessage& message) {
    return decodeContext(message.context);
  }
};

// Restores "no host attached" when a test that installs a reloader ends.
struct ReloaderReset {
  ~ReloaderReset() { platform::ExtensionManager::setReloader(nullptr); }
};

TEST(SecurityHandler, CreatingItInstallsTheReloadHookAndLogsThatTheExtensionStarted) {
  ReloaderReset reset;
  HandlerFixture h;
  EXPECT_EQ(h.log(), std::vector<std::string>{"extension started"});
  int asked = 0;
  platform::ExtensionManager::setReloader([&](platform::ExtensionManager::Completion done) {
    ++asked;
    done("the host went away");
  });
  h.f.engine().requestReload("translation finished");
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(h.log().back(), "reload visible messages failed: the host went away");

  platform::ExtensionManager::setReloader(nullptr);  // no host: no error, nothing logged
  h.f.engine().requestReload("translation finished");
  EXPECT_EQ(h.log().size(), 2u);
}

TEST(SecurityHandler, DecodedMessageByOutcome) {
  {
    SCOPED_TRACE("both switches off: nothing, the host shows the message as received");
    HandlerFixture h;
    Config off;
    off.mode = "off";
    off.darkMode = "off";
    h.f.setConfig(off);
    EXPECT_FALSE(h.handler.decodedMessage(view(plainMessage(kEnglish)), false));
  }
  {
    SCOPED_TRACE("main thread: no wait, the received bytes under the progress banner");
    HandlerFixture h;
    h.f.setConfig(spanish());
    h.f.translator().hold();
    const std::string message = plainMessage(kEnglish);
    auto decoded = h.handler.decodedMessage(view(message), true);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->data, bytes(message));
    EXPECT_EQ(decoded->banner,
              (platform::DecodedMessageBanner{"正在翻译为西班牙语\u2026 0/4", "设置", true}));
    EXPECT_EQ(h.context(*decoded).at("s"), "pending");
    EXPECT_EQ(decoded->securityInformation, platform::MessageSecurityInformation{});
    h.f.translator().release();
  }
  {
    SCOPED_TRACE("elsewhere: waits as the settings say, and shows the translation");
    HandlerFixture h;
    h.f.setConfig(spanish());
    const std::string message = plainMessage(kEnglish);
    auto decoded = h.handler.decodedMessage(view(message), false);
    ASSERT_TRUE(decoded);
    EXPECT_NE(decoded->data, bytes(message));
    EXPECT_EQ(h.context(*decoded).at("s"), "done");
    EXPECT_EQ(decoded->banner->primaryActionTitle, "设置");
  }
  {
    SCOPED_TRACE("dark only: rewritten bytes, no banner, an empty object as context");
    HandlerFixture h;
    Config dark;
    dark.mode = "off";
    dark.darkMode = "on";
    h.f.setConfig(dark);
    const std::string message =
        "Content-Type: text/html; charset=utf-8\n\n<p style=\"color:#222\">Hello there</p>\n";
    auto decoded = h.handler.decodedMessage(view(message), false);
    ASSERT_TRUE(decoded);
    EXPECT_NE(decoded->data, bytes(message));
    EXPECT_FALSE(decoded->banner);
    EXPECT_EQ(decoded->context, bytes("{}"));
  }
}

TEST(SecurityHandler, OfferButtonRequestsTheMessageAndAsksForAReload) {
  HandlerFixture h;
  Config manual = spanish();
  manual.trigger = "manual";
  h.f.setConfig(manual);
  const std::string message = plainMessage(kEnglish);
  auto offer = h.handler.decodedMessage(view(message), false);
  ASSERT_TRUE(offer);
  EXPECT_EQ(offer->banner->primaryActionTitle, "翻译");
  int calls = 0;
  h.handler.primaryActionClicked(offer->context, [&](auto panel) {
    ++calls;
    EXPECT_FALSE(panel);
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(h.log().back(), "banner button clicked (state=offer)");
  EXPECT_EQ(h.f.logLines().back(), "asking Mail to reload: user asked to translate");
  EXPECT_EQ(h.context(*h.handler.decodedMessage(view(message), false)).at("s"), "done");
}

TEST(SecurityHandler, ErrorButtonClearsTheFailureAndAsksForAReload) {
  HandlerFixture h;
  h.f.setConfig(spanish());
  h.f.translator().errors = {"引擎不可用"};
  auto failed = h.handler.decodedMessage(view(plainMessage(kEnglish)), false);
  ASSERT_TRUE(failed);
  auto ctx = h.context(*failed);
  ASSERT_EQ(ctx.at("s"), "error");
  ASSERT_TRUE(h.f.engine().hasFailure(ctx.at("k")));
  EXPECT_EQ(failed->banner->primaryActionTitle, "重试");
  h.handler.primaryActionClicked(failed->context, [](auto panel) { EXPECT_FALSE(panel); });
  EXPECT_FALSE(h.f.engine().hasFailure(ctx.at("k")));
  EXPECT_EQ(h.f.engine().attemptsFor(ctx.at("k")), 0);
  EXPECT_EQ(h.f.logLines().back(), "asking Mail to reload: user asked to retry");

  // Without a key the engine is left alone, but the reload is still asked for.
  h.handler.primaryActionClicked(bytes(R"({"s":"error"})"), [](auto panel) { EXPECT_FALSE(panel); });
  EXPECT_EQ(h.f.logLines().back(), "asking Mail to reload: user asked to retry");
}

TEST(SecurityHandler, OtherStatesOpenThePanelBoundToTheContextsKey) {
  struct Case {
    std::string name;
    std::optional<Bytes> context;
    std::string state;
    std::optional<std::string> key;
  };
  const Case kCases[] = {
      {"done", bytes(R"({"h":"f","k":"f-1","s":"done"})"), "done", "f-1"},
      {"pending", bytes(R"({"k":"f-2","s":"pending"})"), "pending", "f-2"},
      {"unknown state", bytes(R"({"k":"f-3","s":"later"})"), "later", "f-3"},
      {"no context", std::nullopt, "done", std::nullopt},
      {"empty context", bytes(""), "done", std::nullopt},
      {"not an object", bytes(R"(["s","offer"])"), "done", std::nullopt},
      {"a member that is not a string", bytes(R"({"s":"offer","k":1})"), "done", std::nullopt},
      {"not UTF-8", bytes("{\"s\":\"\xff\"}"), "done", std::nullopt},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    HandlerFixture h;
    std::unique_ptr<platform::ExtensionViewController> shown;
    h.handler.primaryActionClicked(c.context, [&](auto panel) { shown = std::move(panel); });
    auto* panel = dynamic_cast<PanelViewController*>(shown.get());
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->key(), c.key);
    EXPECT_EQ(h.log().back(), "banner button clicked (state=" + c.state + ")");
    EXPECT_TRUE(h.f.logLines().empty());  // no reload
  }
}

TEST(SecurityHandler, NeverSignsOrEncrypts) {
  HandlerFixture h;
  EXPECT_FALSE(h.handler.extensionViewControllerForSigners());
  EXPECT_FALSE(h.handler.extensionViewControllerForMessageContext());
  int calls = 0;
  h.handler.getEncodingStatus([&](platform::OutgoingMessageEncodingStatus status) {
    ++calls;
    EXPECT_FALSE(status.canSign);
    EXPECT_FALSE(status.canEncrypt);
    EXPECT_FALSE(status.securityError);
    EXPECT_TRUE(status.addressesFailingEncryption.empty());
  });
  h.handler.encode([&](platform::MessageEncodingResult result) {
    ++calls;
    EXPECT_EQ(result, platform::MessageEncodingResult{});
  });
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace qy
