// The settings application's model: first start, the delayed save on a clock moved by hand,
// the registration check against scripted systemctl programs, the cache line, the language-pack
// row, the test translation over a scripted service, clearing the cache; and the texts and
// colour conversions the window shows.
#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/settings_model.h"
#include "app/settings_texts.h"
#include "core/config/lang_names.h"
#include "core/engine/cache_files.h"
#include "support/scripted_translation_service.h"
#include "support/temp_dir.h"

namespace qy::app {
namespace {

using std::chrono::milliseconds;
using testing::ScriptedTranslationService;
using testing::TempDir;
using testing::readFile;
using testing::writeFile;

// A timer whose time moves only when the test says so.
class ManualTimer final : public Timer {
 public:
  struct Shared {
    std::mutex mutex;
    milliseconds now{0};
    std::multimap<milliseconds, std::function<void()>> tasks;
  };
  explicit ManualTimer(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  void after(std::chrono::nanoseconds delay, std::function<void()> task) override {
    std::lock_guard hold(shared_->mutex);
    shared_->tasks.emplace(shared_->now + std::chrono::duration_cast<milliseconds>(delay),
                           std::move(task));
  }

 private:
  std::shared_ptr<Shared> shared_;
};

// Moves the manual time forward, running every task that falls due on the way.
void advance(ManualTimer::Shared& shared, milliseconds by) {
  const milliseconds until = [&] {
    std::lock_guard hold(shared.mutex);
    return shared.now + by;
  }();
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard hold(shared.mutex);
      if (shared.tasks.empty() || shared.tasks.begin()->first > until) {
        shared.now = until;
        return;
      }
      shared.now = shared.tasks.begin()->first;
      task = std::move(shared.tasks.begin()->second);
      shared.tasks.erase(shared.tasks.begin());
    }
    task();
  }
}

// A model over a temporary storage root, a manual timer, a scripted translation service and a
// systemctl that says "enabled"; it records reload requests, opened targets and log lines.
struct Fixture {
  TempDir root;
  std::shared_ptr<ManualTimer::Shared> time = std::make_shared<ManualTimer::Shared>();
  std::shared_ptr<ScriptedTranslationService> service =
      std::make_shared<ScriptedTranslationService>();
  std::atomic<int> reloads{0};
  std::mutex mutex;
  std::vector<std::string> opened, logged;
  std::optional<std::string> reader;

  Fixture() { writeScript("systemctl", "echo enabled"); }

  std::filesystem::path writeScript(const std::string& name, const std::string& body) {
    const std::filesystem::path path = root / ("bin-" + name);
    writeFile(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0700);
    return path;
  }

  std::unique_ptr<SettingsModel> model(std::string systemctl = {}) {
    SettingsModelOptions options;
    options.root = root.path() / "store";
    options.service = service;
    options.timer = std::make_unique<ManualTimer>(time);
    options.reloadVisibleMessages = [this] { ++reloads; };
    options.readerURL = [this] { return reader; };
    options.open = [this](const std::string& target) {
      std::lock_guard hold(mutex);
      opened.push_back(target);
    };
    options.log = [this](const std::string& line) {
      std::lock_guard hold(mutex);
      logged.push_back(line);
    };
    options.systemctl = systemctl.empty() ? (root / "bin-systemctl").string() : systemctl;
    auto made = std::make_unique<SettingsModel>(std::move(options));
    made->waitIdle();
    return made;
  }

  std::filesystem::path configFile() const { return root.path() / "store" / "config.json"; }
  std::optional<Config> saved() const {
    std::error_code error;
    if (!std::filesystem::exists(configFile(), error)) return std::nullopt;
    return Config::decode(readFile(configFile()));
  }
};

TEST(SettingsModel, FirstStartWritesTheDefaultsAndALaterStartWritesNothing) {
  Fixture f;
  {
    auto model = f.model();
    ASSERT_TRUE(f.saved());
    EXPECT_EQ(readFile(f.configFile()), Config().encode());
    struct stat info {};
    ASSERT_EQ(stat(f.configFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(f.reloads, 0) << "the first file is written without a reload";
  }
  Config mine;
  mine.targetLanguage = "fr";
  writeFile(f.configFile(), "{\"targetLanguage\": \"fr\", \"unknown\": 1}");
  auto model = f.model();
  EXPECT_EQ(model->snapshot().cfg, mine);
  EXPECT_EQ(readFile(f.configFile()), "{\"targetLanguage\": \"fr\", \"unknown\": 1}");
}

TEST(SettingsModel, ABurstOfChangesSavesOnceAfterTheLastAndThenAsksForAReload) {
  Fixture f;
  auto model = f.model();
  const std::string before = readFile(f.configFile());

  model->setConfig(model->snapshot().cfg);  // an equal record schedules nothing
  advance(*f.time, milliseconds(1000));
  EXPECT_EQ(f.reloads, 0);

  for (int64_t scale : {105, 110, 115}) {
    Config cfg = model->snapshot().cfg;
    cfg.fontScale = scale;
    model->setConfig(cfg);
    advance(*f.time, milliseconds(100));
  }
  // The last change came at 200 ms of this burst; its save is due at 600 ms.
  advance(*f.time, milliseconds(299));
  EXPECT_EQ(readFile(f.configFile()), before);
  EXPECT_EQ(f.reloads, 0);
  advance(*f.time, milliseconds(1));
  ASSERT_TRUE(f.saved());
  EXPECT_EQ(f.saved()->fontScale, 115);
  EXPECT_EQ(f.reloads, 1);
  advance(*f.time, milliseconds(5000));
  EXPECT_EQ(f.reloads, 1);
}

TEST(SettingsModel, AChangeStillPendingIsSavedWhenTheModelEnds) {
  Fixture f;
  {
    auto model = f.model();
    Config cfg = model->snapshot().cfg;
    cfg.mode = "replace";
    model->setConfig(cfg);
  }
  ASSERT_TRUE(f.saved());
  EXPECT_EQ(f.saved()->mode, "replace");
}

TEST(SettingsModel, ComingBackTakesInWhatThePanelSavedUnlessAChangeIsPending) {
  Fixture f;
  auto model = f.model();
  Config panel;
  panel.mode = "replace";
  panel.darkMode = "on";
  ConfigStore::Store other(f.root.path() / "store");  // another process's store
  ASSERT_TRUE(other.save(panel));
  model->reloadSettings();
  EXPECT_EQ(model->snapshot().cfg, panel);
  advance(*f.time, milliseconds(5000));
  EXPECT_EQ(f.reloads, 0) << "taking in the file saves nothing and reloads nothing";

  Config mine = panel;
  mine.style = "plain";
  model->setConfig(mine);
  panel.mode = "off";
  ASSERT_TRUE(other.save(panel));
  model->reloadSettings();
  EXPECT_EQ(model->snapshot().cfg, mine);
  advance(*f.time, SettingsModel::kSaveDelay);
  EXPECT_EQ(f.saved(), mine);
}

TEST(SettingsModel, AChangeThatCannotBeSavedIsReportedKeptPendingAndSavedLater) {
  Fixture f;
  auto model = f.model();
  // config.json turned into a directory: the rename over it fails.
  std::filesystem::remove(f.configFile());
  std::filesystem::create_directory(f.configFile());
  Config cfg = model->snapshot().cfg;
  cfg.opacity = 40;
  model->setConfig(cfg);
  advance(*f.time, SettingsModel::kSaveDelay);
  const SettingsState failed = model->snapshot();
  EXPECT_NE(failed.saveError.find("没有保存"), std::string::npos) << failed.saveError;
  EXPECT_EQ(failed.cfg.opacity, 40) << "the change stays on the page";
  EXPECT_EQ(f.reloads, 0) << "nothing new for the mail client to show";
  {
    std::lock_guard hold(f.mutex);
    ASSERT_EQ(f.logged.size(), 1u);
    EXPECT_EQ(f.logged[0], "settings: config.json could not be written");
  }
  // Once the file can be written again, the pending change is saved and the notice goes.
  std::filesystem::remove(f.configFile());
  advance(*f.time, milliseconds(SettingsModel::kSaveRetry));
  EXPECT_EQ(model->snapshot().saveError, "");
  EXPECT_EQ(f.reloads, 1);
  ASSERT_TRUE(f.saved());
  EXPECT_EQ(f.saved()->opacity, 40);
}

TEST(SettingsModel, RegistrationFollowsWhatSystemctlSays) {
  struct Case {
    const char* name;
    std::string script;  // body of the systemctl stand-in; empty: no such program
    std::string state;
    bool enabled;
  };
  const std::string notRegistered =
      "系统还没登记这个扩展。运行“quillory-ext install-service”后点“重新检查”。";
  const std::string off = "还没启用：运行“systemctl --user enable --now quillory-ext.service”";
  const Case kCases[] = {
      {"enabled", "echo enabled", "已在 Mail 里启用", true},
      {"enabled after empty lines", "printf '\\n\\nenabled\\n'", "已在 Mail 里启用", true},
      {"disabled", "echo disabled; exit 1", off, false},
      {"linked", "echo linked", off, false},
      {"masked", "echo masked", off, false},
      {"no such unit (newer systemd)", "echo not-found; exit 1", notRegistered, false},
      {"no user bus", "echo 'Failed to connect to bus' >&2; exit 1", notRegistered, false},
      {"only line feeds", "printf '\\n\\n'", notRegistered, false},
      {"no systemctl at all", "", notRegistered, false},
      // The stand-in answers only the exact question, so the arguments are checked too.
      {"asked for the service unit",
       "[ \"$*\" = '--user is-enabled quillory-ext.service' ] && echo enabled", "已在 Mail 里启用",
       true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    const std::string program =
        c.script.empty() ? (f.root / "missing").string() : f.writeScript("ctl", c.script).string();
    auto model = f.model(program);
    const SettingsState state = model->snapshot();
    EXPECT_EQ(state.extensionState, c.state);
    EXPECT_EQ(state.extensionEnabled, c.enabled);
  }
}

TEST(SettingsModel, CacheLineCountsFilesAndClearingRaisesTheEpochOnce) {
  Fixture f;
  auto model = f.model();
  EXPECT_EQ(model->snapshot().cacheInfo, "没有缓存");
  const std::filesystem::path cache = f.root.path() / "store" / "cache";
  // Only files named like cache files (a key plus ".json") are the cache's.
  writeFile(cache / "aaaaaaaaaaaaaaaaaaaaaaaa-aaaaaaaaaa.json", std::string(1000, 'x'));
  writeFile(cache / "bbbbbbbbbbbbbbbbbbbbbbbb-bbbbbbbbbb.json", std::string(1000, 'x'));
  writeFile(cache / "cccccccccccccccccccccccc-cccccccccc.json", std::string(48, 'x'));
  writeFile(cache / "notes.txt", std::string(5000, 'x'));
  model->refreshCacheInfo();
  EXPECT_EQ(model->snapshot().cacheInfo, "3 封邮件，2 KB");

  model->clearCache();
  EXPECT_EQ(CacheFiles::size(f.root.path() / "store").files, 0);
  EXPECT_TRUE(std::filesystem::exists(cache / "notes.txt"));
  EXPECT_EQ(model->snapshot().cacheInfo, "没有缓存");
  EXPECT_EQ(model->snapshot().cfg.cacheEpoch, 1);
  EXPECT_EQ(f.saved()->cacheEpoch, 0) << "saved only after the delay";
  advance(*f.time, SettingsModel::kSaveDelay);
  EXPECT_EQ(f.saved()->cacheEpoch, 1);
  EXPECT_EQ(f.reloads, 1);
}

TEST(SettingsModel, PackRowNamesThePairByItsAnswer) {
  struct Case {
    PairStatus status;
    std::string text;
    bool ready;
    bool downloadable;  // only a package can be downloaded
    bool help;          // nothing translates the pair: what to install instead
  };
  const Case kCases[] = {
      {PairStatus::installed, "「英语 → 西班牙语」语言包已安装", true, false, false},
      {PairStatus::supported, "「英语 → 西班牙语」语言包还没下载", false, true, false},
      {PairStatus::unsupported, "系统翻译不支持「英语 → 西班牙语」", false, false, true},
  };
  for (const Case& c : kCases) {
    Fixture f;
    f.service->setStatus("en", c.status);
    auto model = f.model();
    Config cfg = model->snapshot().cfg;
    cfg.targetLanguage = "es";
    model->setConfig(cfg);
    model->waitIdle();
    EXPECT_EQ(model->snapshot().packStatus, c.text);
    EXPECT_EQ(model->snapshot().packReady, c.ready);
    EXPECT_EQ(model->snapshot().packDownloadable, c.downloadable);
    EXPECT_EQ(model->snapshot().packHelp, c.help);
  }
}

TEST(SettingsModel, TheSourceMovesOffANewTargetAndStaysOtherwise) {
  Fixture f;
  auto model = f.model();
  Config cfg = model->snapshot().cfg;
  cfg.targetLanguage = "en";
  model->setConfig(cfg);
  EXPECT_EQ(model->snapshot().packSource, "zh-Hans") << "the first language that is not en";
  model->setPackSource("fr");
  cfg.targetLanguage = "de";
  model->setConfig(cfg);
  EXPECT_EQ(model->snapshot().packSource, "fr");
  model->waitIdle();
  // The status checks run at once on the pool's threads, so they may be asked in any order;
  // the answer to the latest pair is the one shown.
  const auto questions = f.service->statusQuestions();
  EXPECT_NE(std::find(questions.begin(), questions.end(),
                      std::make_pair(std::string("fr"), std::string("de"))),
            questions.end());
  EXPECT_NE(model->snapshot().packStatus.find("法语 → 德语"), std::string::npos)
      << model->snapshot().packStatus;
}

// A service whose pack install fails, throws or succeeds as told, and which counts installs.
class RefusingService final : public TranslationService {
 public:
  enum class Install { refuse, fail, succeed };
  PairStatus status(std::string_view, std::string_view) override {
    return installed ? PairStatus::installed : PairStatus::supported;
  }
  std::unique_ptr<TranslationSession> session(std::string_view, std::string_view) override {
    return nullptr;
  }
  PackResult preparePack(std::string_view, std::string_view) override {
    ++installs;
    switch (install.load()) {
      case Install::refuse:
        return {"没有得到管理员授权，apertium-fr-es 没有安装"};
      case Install::fail:
        throw std::runtime_error("a provider broke");
      case Install::succeed:
        break;
    }
    installed = true;
    return {};
  }
  std::atomic<int> installs{0};
  std::atomic<Install> install{Install::refuse};
  std::atomic<bool> installed{false};
};

TEST(SettingsModel, ADownloadShowsItsOutcomeAndAFailureIsLoggedToo) {
  Fixture f;
  auto service = std::make_shared<RefusingService>();
  SettingsModelOptions options;
  options.root = f.root.path() / "store";
  options.service = service;
  options.timer = std::make_unique<ManualTimer>(f.time);
  options.systemctl = (f.root / "bin-systemctl").string();
  std::mutex mutex;
  std::vector<std::string> logged;
  options.log = [&](const std::string& line) {
    std::lock_guard hold(mutex);
    logged.push_back(line);
  };
  SettingsModel model(std::move(options));
  model.setPackSource("fr");
  model.waitIdle();
  const std::string pair = "法语 → " + LangNames::chinese("zh-Hans");
  struct Step {
    const char* name;
    RefusingService::Install install;
    std::string result;
    bool failed;
    std::string log;  // the line added, if any
  };
  const Step kSteps[] = {
      {"refused", RefusingService::Install::refuse, "✗ 没有得到管理员授权，apertium-fr-es 没有安装",
       true, "language pack fr → zh-Hans not installed: 没有得到管理员授权，apertium-fr-es 没有安装"},
      // A provider that throws is caught around the task: the row is usable again.
      {"thrown", RefusingService::Install::fail, "✗ 安装没有完成：程序内部出错，详情见日志", true,
       "settings: background work failed: a provider broke"},
      {"done", RefusingService::Install::succeed, "✓ 「" + pair + "」语言包已下载并安装", false, ""},
  };
  for (const Step& step : kSteps) {
    SCOPED_TRACE(step.name);
    service->install = step.install;
    const size_t before = logged.size();
    model.startDownload();
    model.waitIdle();
    const SettingsState state = model.snapshot();
    EXPECT_FALSE(state.downloading);
    EXPECT_EQ(state.packResult, step.result);
    EXPECT_EQ(state.packFailed, step.failed);
    std::lock_guard hold(mutex);
    if (step.log.empty()) {
      EXPECT_EQ(logged.size(), before);
    } else {
      ASSERT_EQ(logged.size(), before + 1);
      EXPECT_EQ(logged.back(), step.log);
    }
  }
  EXPECT_EQ(service->installs, 3);
  EXPECT_EQ(model.snapshot().packStatus, "「" + pair + "」语言包已安装");
  EXPECT_TRUE(model.snapshot().packReady);
  // The outcome belongs to its pair: another source clears it.
  model.setPackSource("de");
  EXPECT_EQ(model.snapshot().packResult, "");
}

TEST(SettingsModel, TestTranslationUsesTheEditedSettingsAndReportsItsOutcome) {
  const std::string english = "Hello! Your order has shipped and should arrive within three days.";
  const std::string chinese = "您好，您的订单已发货，预计三天内送达。";
  struct Case {
    const char* name;
    std::string target;
    PairStatus status;
    bool emptyTranslation;
    std::string want;
  };
  const Case kCases[] = {
      {"into Spanish", "es", PairStatus::installed, false,
       "✓ " + english + "\n→ [en→es]" + english},
      {"en-GB takes the Chinese sample", "en-GB", PairStatus::installed, false,
       "✓ " + chinese + "\n→ [zh-Hans→en-GB]" + chinese},
      {"pair missing", "es", PairStatus::unsupported, false, "✗ 系统翻译不支持「英语 → 西班牙语」：可在设置的“翻译引擎”里选用本机的 Ollama 等翻译服务"},
      {"empty translation", "es", PairStatus::installed, true, "✗ 没有拿到译文"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.service->setStatus(c.target == "en-GB" ? "zh-Hans" : "en", c.status);
    if (c.emptyTranslation)
      f.service->rewriteResponses([](std::vector<TranslationResponse>& responses) {
        for (TranslationResponse& response : responses) response.targetText.clear();
      });
    auto model = f.model();
    Config cfg = model->snapshot().cfg;
    cfg.targetLanguage = c.target;
    model->setConfig(cfg);  // not yet saved
    model->runTest();
    model->waitIdle();
    EXPECT_FALSE(model->snapshot().testing);
    EXPECT_EQ(model->snapshot().testResult, c.want);
  }
}

TEST(SettingsModel, ATestAskedForWhileOneRunsIsIgnored) {
  Fixture f;
  f.service->setStatus("en", PairStatus::installed);
  std::mutex gate;
  std::unique_lock held(gate);
  std::atomic<int> entered{0};
  f.service->onBatch([&](const ScriptedTranslationService::Batch&) {
    ++entered;
    std::lock_guard wait(gate);  // the batch stays in flight until the test lets it go
  });
  auto model = f.model();
  model->runTest();
  while (entered == 0) std::this_thread::sleep_for(milliseconds(1));
  EXPECT_TRUE(model->snapshot().testing);
  EXPECT_EQ(model->snapshot().testResult, "");
  model->runTest();
  held.unlock();
  model->waitIdle();
  EXPECT_FALSE(model->snapshot().testing);
  EXPECT_EQ(f.service->batches().size(), 1u);
  EXPECT_TRUE(model->snapshot().testResult.starts_with("✓ "));
}

TEST(SettingsModel, OpeningMailPrefersTheServiceReaderAndTheLogOpensOnlyWhenPresent) {
  Fixture f;
  auto model = f.model();
  model->openMail();
  model->waitIdle();
  f.reader = "http://127.0.0.1:4321/";
  model->openMail();
  model->waitIdle();
  model->openLog();  // no log yet: nothing
  writeFile(f.root.path() / "store" / "qy.log", "x\n");
  model->openLog();
  const std::vector<std::string> want = {"mailto:", "http://127.0.0.1:4321/",
                                         (f.root.path() / "store" / "qy.log").string()};
  EXPECT_EQ(f.opened, want);
}

TEST(SettingsTexts, FileSizesInDecimalUnits) {
  struct Case {
    int64_t bytes;
    const char* want;
  };
  const Case kCases[] = {
      {0, "0 字节"},          {999, "999 字节"},      {1000, "1 KB"},
      {2048, "2 KB"},         {1499, "1 KB"},         {4500, "5 KB"},         {999'499, "999 KB"},
      {999'999, "1 MB"},      {1'234'567, "1.2 MB"},  {1'000'000, "1 MB"},
      {3'250'000'000, "3.25 GB"}, {999'990'000'000, "999.99 GB"}, {999'999'000'000, "1 TB"},
  };
  for (const Case& c : kCases) EXPECT_EQ(formatFileBytes(c.bytes), c.want) << c.bytes;
  EXPECT_EQ(cacheInfoText({0, 4096}), "没有缓存");
  EXPECT_EQ(cacheInfoText({3, 2048}), "3 封邮件，2 KB");
}

TEST(SettingsTexts, ColourFieldsReadAndWriteLikeThePickers) {
  struct Case {
    const char* text;
    uint32_t want;
  };
  const Case kCases[] = {
      {" #34a77a ", 0x34A77A}, {"zz", 0x34A77A},        {"#123456789", 0x34A77A},
      {"", 0x34A77A},          {"##", 0x34A77A},        {"#FFF", 0x000FFF},
      {"#1E1E1E", 0x1E1E1E},   {"+ff0000", 0xFF0000},   {"#FFFFFFFF", 0xFFFFFF},
      {"white", 0x34A77A},     {"#12 34", 0x34A77A},
  };
  for (const Case& c : kCases) EXPECT_EQ(colorFromHex(c.text), c.want) << '"' << c.text << '"';
  EXPECT_EQ(hexString(0x000000), "#000000");
  EXPECT_EQ(hexString(0xFFFFFF), "#FFFFFF");
  EXPECT_EQ(hexString(colorFromHex("#34a77a")), "#34A77A");
  EXPECT_EQ(pickerValue(0x1E1E1E), "#1e1e1e");
}

TEST(SettingsTexts, StepperAndSliderCaptions) {
  EXPECT_EQ(fontScaleText(100), "字号 100%");
  EXPECT_EQ(opacityText(80), "不透明度 80%");
  EXPECT_EQ(firstPaintText(0), "0.0 秒就先显示");
  EXPECT_EQ(firstPaintText(2.5), "2.5 秒就先显示");
  EXPECT_EQ(firstPaintText(8), "8.0 秒就先显示");
}

}  // namespace
}  // namespace qy::app
