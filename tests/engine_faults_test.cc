// The message pipeline when things go wrong around it: a translation engine that crashes or
// hangs, a disk that fills up while storing, settings rewritten between two messages. The
// message still displays, the banner tells the truth, nothing stored is lost or half-written,
// and no job stays registered.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <limits>

#include "core/config/config_store.h"
#include "core/translate/translator.h"
#include "platform/command_provider.h"
#include "support/engine_fixture.h"
#include "support/mime_test_util.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::plainMessage;
using testing::TempDir;

using mimetest::view;

// Wait for the translation to end, however long a loaded machine takes.
constexpr double kUntilEnded = std::numeric_limits<double>::infinity();

// An engine over the real translator and settings store, translating through the scripted
// command provider. Only the case that hangs on purpose gets a short answer limit.
struct RealEngine {
  TempDir home;
  std::shared_ptr<platform::CommandProvider> provider;
  std::unique_ptr<Engine> engine;

  explicit RealEngine(std::chrono::milliseconds answerLimit = platform::kAnswerLimit) {
    testing::writeFile(home / "config.json", R"({"targetLanguage": "es"})");
    platform::CommandSpec spec;
    spec.command = {"/usr/bin/python3", std::string(QY_SOURCE_DIR) + "/tests/providers/scripted_provider.py"};
    spec.pairs = {{"*", "es"}};
    provider = std::make_shared<platform::CommandProvider>(spec, answerLimit);
    Engine::Options options;
    options.root = home.path();
    options.prune = false;
    options.log = [](std::string_view) {};
    auto service = provider;
    options.translate = [service](const std::vector<std::string>& texts, const Config& cfg,
                                  const std::function<void(const TranslationDict&)>& deliver,
                                  std::stop_token stop) {
      return Translator::run(
          texts, cfg, [&](TranslationDict part) { deliver(part); }, stop, service);
    };
    engine = std::make_unique<Engine>(std::move(options));
  }
};

TEST(EngineFaults, CrashingOrHangingEngineEndsInAnErrorBanner) {
  for (const char* trigger : {"CRASH", "HANG", "GARBAGE", "WRONGCOUNT"}) {
    SCOPED_TRACE(trigger);
    RealEngine r(std::string_view(trigger) == "HANG" ? std::chrono::milliseconds(700)
                                                     : platform::kAnswerLimit);
    const std::string message =
        plainMessage("Good morning to all of you.\n\n" + std::string(trigger) + "\n");
    auto result = r.engine->process(view(message), kUntilEnded);
    EXPECT_EQ(result.note, "error");
    ASSERT_TRUE(result.banner);
    EXPECT_EQ(result.banner->rfind("翻译未完成（0/2）：系统翻译出错：", 0), 0u) << *result.banner;
    EXPECT_EQ(result.action, "重试");
    EXPECT_FALSE(result.data);
    r.engine->waitForJobs();
    EXPECT_FALSE(r.engine->hasJob(result.context.at("k")));
    EXPECT_TRUE(r.engine->hasFailure(result.context.at("k")));
  }
}

TEST(EngineFaults, SettingsRewrittenBetweenMessagesTakeEffect) {
  RealEngine r;
  const std::string message = plainMessage("Good morning to all of you.\n");
  auto first = r.engine->process(view(message), kUntilEnded);
  EXPECT_EQ(first.banner, "已翻译为西班牙语");
  testing::writeFile(r.home / "config.json", R"({"targetLanguage": "es", "mode": "off", "darkMode": "off"})");
  // A rewrite within the same second still changes the nanosecond stamp on this file system.
  EXPECT_EQ(r.engine->process(view(message), kUntilEnded).note, "off");
  testing::writeFile(r.home / "config.json", R"({"targetLanguage": "es", "mode": "replace"})");
  auto replaced = r.engine->process(view(message), kUntilEnded);
  EXPECT_EQ(replaced.note, "translated");
  EXPECT_NE(replaced.context.at("k"), first.context.at("k"));  // another mode, another key
}

TEST(EngineFaults, FullDiskKeepsTheStoredFileWhole) {
  testing::EngineFixture f;
  f.engine().store("key", {{"a", "b"}});
  const auto file = f.cacheDir() / "key.json";
  const std::string before = testing::readFile(file);

  // A file-size limit stands in for a full disk: writes past it fail with EFBIG.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 64;
  setrlimit(RLIMIT_FSIZE, &small);
  f.engine().store("key", {{"a", "b"}, {"long text", std::string(10'000, 'x')}});
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, SIG_DFL);

  EXPECT_EQ(testing::readFile(file), before);
  int files = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(f.cacheDir())) ++files;
  EXPECT_EQ(files, 1);  // no temporary file left behind
}

}  // namespace
}  // namespace qy
