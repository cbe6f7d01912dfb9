// The engine across its lifetime and across processes: a job stopped by the engine's end, jobs
// abandoned by a one-shot process, the failure pause kept in failures.json, pruning by the stamp
// file, and the bounded per-key records.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>

#include "core/engine/cache_files.h"
#include "core/engine/engine.h"
#include "core/engine/engine_failures.h"
#include "core/engine/engine_records.h"
#include "support/engine_fixture.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::EngineFixture;
using testing::ManualClock;
using testing::plainMessage;
using testing::TempDir;

// Without a subject: the job's texts are the two paragraphs, in order.
const std::string kMessage = plainMessage(
    "The quarterly report is attached to this message.\n\n"
    "Please review the numbers before our meeting on Friday.\n", "");
const std::string kFirst = "The quarterly report is attached to this message.";
const std::string kSecond = "Please review the numbers before our meeting on Friday.";

Config spanish() {
  Config cfg;
  cfg.targetLanguage = "es";
  return cfg;
}

ByteView view(const std::string& s) {
  return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// An engine on a given root and clock whose translation is the given function.
struct Rig {
  std::shared_ptr<std::mutex> logLock = std::make_shared<std::mutex>();
  std::shared_ptr<std::vector<std::string>> lines = std::make_shared<std::vector<std::string>>();
  std::shared_ptr<Config> cfg = std::make_shared<Config>(spanish());
  std::unique_ptr<Engine> engine;

  Rig(const std::filesystem::path& root, std::shared_ptr<ManualClock> clock,
      Engine::TranslateFunction translate, Engine::Options options = {}) {
    options.root = root;
    options.clock = std::move(clock);
    options.loadConfig = [cfg = cfg] { return *cfg; };
    options.log = [lock = logLock, lines = lines](std::string_view line) {
      std::lock_guard guard(*lock);
      lines->emplace_back(line);
    };
    options.translate = std::move(translate);
    options.prune = false;
    engine = std::make_unique<Engine>(std::move(options));
  }
  Engine::Result process(const std::string& message, double wait) {
    auto result = engine->process(view(message), wait);
    if (result.note != "partial") engine->waitForJobs();
    return result;
  }
  std::vector<std::string> log() const {
    std::lock_guard guard(*logLock);
    return *lines;
  }
};

// Translates every text to "ES:" + text; counts its runs; fails with `error` when it is set.
struct CountingTranslator {
  std::shared_ptr<std::atomic<int>> runs = std::make_shared<std::atomic<int>>(0);
  std::string error;
  Engine::TranslateFunction function() const {
    return [runs = runs, error = error](const std::vector<std::string>& texts, const Config&,
                                        const std::function<void(const TranslationDict&)>& deliver,
                                        std::stop_token) {
      ++*runs;
      if (!error.empty()) return std::vector<std::string>{error};
      TranslationDict dict;
      for (const auto& text : texts) dict[text] = "ES:" + text;
      deliver(dict);
      return std::vector<std::string>{};
    };
  }
};

// An engine that goes away while its job runs: the translation is told to stop and returns
// without an error, having translated one text of two. Only that text is cached, the job is
// logged as stopped, no pause is recorded, and the next engine translates the other text.
TEST(EngineLifecycle, AJobStoppedByTheEnginesEndIsNoFinishedTranslation) {
  TempDir root;
  auto clock = std::make_shared<ManualClock>();
  std::promise<void> reached;
  auto stopping = [&](const std::vector<std::string>& texts, const Config&,
                      const std::function<void(const TranslationDict&)>& deliver,
                      std::stop_token stop) {
    deliver({{texts.front(), "ES:" + texts.front()}});
    reached.set_value();
    std::mutex lock;
    std::condition_variable_any stopped;
    std::unique_lock guard(lock);
    stopped.wait(guard, stop, [] { return false; });
    return std::vector<std::string>{};  // an engine that does not report its stop
  };
  std::string key;
  std::vector<std::string> log;
  {
    Rig rig(root.path(), clock, stopping);
    auto result = rig.process(kMessage, 0);
    ASSERT_EQ(result.note, "partial");
    key = result.context.at("k");
    reached.get_future().wait();
    rig.engine.reset();
    log = rig.log();
  }
  EXPECT_EQ(CacheFiles::read(root / "cache", key), (TranslationDict{{kFirst, "ES:" + kFirst}}));
  EXPECT_EQ(log.back(), "job " + key.substr(0, 8) + " stopped: 1/2 segments, errors=[\"翻译被中断\"]");
  EXPECT_FALSE(std::filesystem::exists(root / "failures.json"));

  CountingTranslator translator;
  Rig next(root.path(), clock, translator.function());
  auto result = next.process(kMessage, 5);
  EXPECT_EQ(result.note, "translated");
  EXPECT_EQ(*translator.runs, 1);
  EXPECT_EQ(CacheFiles::read(root / "cache", key)->at(kSecond), "ES:" + kSecond);
}

// A one-shot process gives its jobs a bounded time after its output; the jobs still running then
// are abandoned: whatever they bring afterwards is neither cached nor recorded as a failure.
TEST(EngineLifecycle, JobsPastTheBoundAreAbandonedWithoutCaching) {
  EngineFixture f;
  f.setConfig(spanish());
  f.translator().hold();
  auto result = f.process(kMessage, 0);
  ASSERT_EQ(result.note, "partial");
  EXPECT_FALSE(f.engine().waitForJobs(std::chrono::milliseconds(20)));
  f.translator().release();
  EXPECT_TRUE(f.engine().waitForJobs());
  EXPECT_FALSE(CacheFiles::read(f.cacheDir(), result.context.at("k")));
  EXPECT_FALSE(f.engine().hasFailure(result.context.at("k")));
  const auto lines = f.logLines();
  EXPECT_NE(lines.back().find(" abandoned (nothing cached): "), std::string::npos) << lines.back();
}

// Mail filters run one process per message: a failed key's pause holds for the next process
// (failures.json, owner-only), and ends when the pause is over.
TEST(EngineLifecycle, TheFailurePauseHoldsAcrossProcesses) {
  TempDir root;
  auto clock = std::make_shared<ManualClock>();
  CountingTranslator failing;
  failing.error = "系统翻译出错：引擎没有回答";
  {
    Rig first(root.path(), clock, failing.function());
    ASSERT_EQ(first.process(kMessage, 5).note, "error");
  }
  EXPECT_EQ(testing::modeOf(root / "failures.json"), 0600u);
  {
    clock->advance(std::chrono::seconds(30));
    Rig second(root.path(), clock, failing.function());
    auto result = second.process(kMessage, 5);
    EXPECT_EQ(result.note, "error");
    EXPECT_EQ(result.banner, "翻译未完成（0/2）：系统翻译出错：引擎没有回答");
    EXPECT_EQ(*failing.runs, 1);  // the second process asked nobody
  }
  clock->advance(std::chrono::seconds(31));
  CountingTranslator working;
  Rig third(root.path(), clock, working.function());
  EXPECT_EQ(third.process(kMessage, 5).note, "translated");
  EXPECT_EQ(*working.runs, 1);
}

// One mail filter runs per message, so processes record failures at the same moment: each
// keeps the others' entries (without a lock most of them were lost).
TEST(EngineLifecycle, ProcessesRecordingFailuresAtOnceKeepEachOthersEntries) {
  TempDir root;
  const auto file = FailureFile::pathIn(root.path());
  const Date now = std::chrono::time_point_cast<Date::duration>(std::chrono::system_clock::now());
  constexpr int kProcesses = 4, kKeys = 40;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int k = 0; k < kKeys; ++k)
        FailureFile::update(file, std::to_string(p) + "-" + std::to_string(k),
                            FailureFile::Entry{now, {"坏了"}}, now, std::chrono::seconds(60));
      _exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(FailureFile::read(file, now, std::chrono::seconds(60)).size(),
            static_cast<size_t>(kProcesses * kKeys));
  EXPECT_EQ(testing::modeOf(FailureFile::lockPathOf(file)), 0600u);
}

// The record is read only as a regular file of ours: a link in its place is not followed, and
// rewriting the record replaces the link instead of writing through it.
TEST(EngineLifecycle, AFailureRecordThatIsALinkIsNeitherReadNorWrittenThrough) {
  TempDir root;
  auto clock = std::make_shared<ManualClock>();
  CountingTranslator translator;
  std::string key;
  {
    Rig probe(root.path(), clock, translator.function());
    key = probe.process(kMessage, 5).context.at("k");
    probe.engine->forget(key);
  }
  const auto seconds =
      std::chrono::duration<double>(clock->now().time_since_epoch()).count();
  const std::string elsewhere =
      nlohmann::json{{key, {{"at", seconds}, {"errors", {"planted"}}}}}.dump();
  testing::writeFile(root / "elsewhere.json", elsewhere);
  std::filesystem::create_symlink(root / "elsewhere.json", root / "failures.json");

  CountingTranslator failing;
  failing.error = "系统翻译出错：坏了";
  Rig rig(root.path(), clock, failing.function());
  EXPECT_EQ(rig.process(kMessage, 5).banner, "翻译未完成（0/2）：系统翻译出错：坏了");
  EXPECT_EQ(*failing.runs, 1);  // the planted pause was not taken
  EXPECT_FALSE(std::filesystem::is_symlink(root / "failures.json"));
  EXPECT_EQ(testing::readFile(root / "elsewhere.json"), elsewhere);
}

// A one-shot engine prunes when asked, at most once a day by its clock and the stamp file.
TEST(EngineLifecycle, OneShotPruningRunsAtMostDaily) {
  TempDir root;
  auto clock = std::make_shared<ManualClock>();
  Engine::Options options;
  options.lifetime = Engine::Lifetime::oneShot;
  Rig rig(root.path(), clock, CountingTranslator().function(), options);
  // Cache files are named by their keys.
  const std::string a = "cache/" + std::string(24, 'a') + "-" + std::string(10, '0') + ".json";
  const std::string b = "cache/" + std::string(24, 'b') + "-" + std::string(10, '0') + ".json";
  auto old = [&](const std::string& name) {
    testing::writeFile(root / name, "{}");
    std::filesystem::last_write_time(
        root / name, std::chrono::file_clock::from_sys(clock->now() - std::chrono::hours(24 * 31)));
  };
  old(a);
  rig.engine->pruneIfDue();
  EXPECT_FALSE(std::filesystem::exists(root / a));
  EXPECT_TRUE(std::filesystem::exists(root / "cache/.pruned"));

  old(b);
  clock->advance(std::chrono::hours(23));
  rig.engine->pruneIfDue();
  EXPECT_TRUE(std::filesystem::exists(root / b));  // pruned less than a day ago
  clock->advance(std::chrono::hours(2));
  rig.engine->pruneIfDue();
  EXPECT_FALSE(std::filesystem::exists(root / b));
}

TEST(KeyRecords, DropTheOldestWrittenKeyPastTheLimit) {
  KeyRecords<int> records(3);
  records.put("a") = 1;
  records.put("b") = 2;
  records.put("c") = 3;
  records.put("a") += 10;  // written again: now the newest
  records.put("d") = 4;    // drops "b", the oldest written
  EXPECT_FALSE(records.contains("b"));
  ASSERT_TRUE(records.find("a"));
  EXPECT_EQ(*records.find("a"), 11);
  EXPECT_EQ(records.size(), 3u);
  EXPECT_TRUE(records.erase("c"));
  EXPECT_FALSE(records.erase("c"));
  records.put("e");
  records.put("f");  // drops "a"
  EXPECT_FALSE(records.contains("a"));
  EXPECT_TRUE(records.contains("d"));
}

// The engine's records are bounded: past the limit, the oldest request is forgotten and that
// message is offered again, while the newest requests still translate.
TEST(EngineLifecycle, RequestsBeyondTheLimitForgetTheOldest) {
  TempDir root;
  Engine::Options options;
  options.maxKeyRecords = 3;
  Rig rig(root.path(), std::make_shared<ManualClock>(), CountingTranslator().function(), options);
  std::vector<std::string> messages;
  for (int i = 0; i < 4; ++i) {
    messages.push_back(plainMessage(kFirst + "\n", "Report " + std::to_string(i)));
    rig.engine->request(Engine::hash(view(messages.back())));
  }
  rig.cfg->trigger = "manual";
  EXPECT_EQ(rig.process(messages[0], 5).note, "offer");
  for (int i = 1; i < 4; ++i) EXPECT_EQ(rig.process(messages[i], 5).note, "translated") << i;
}

}  // namespace
}  // namespace qy
