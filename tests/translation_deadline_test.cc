// Time limits of translation runs and engines that must end without waiting: one deadline for all
// of a run's batches, a batch past its deadline that starts nothing, and stopping a provider (as
// a reload of translators.json does) while one of its batches hangs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/translate/translator.h"
#include "platform/command_provider.h"
#include "platform/system_translation_service.h"
#include "support/scripted_translation_service.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

const std::string kScript = std::string(QY_SOURCE_DIR) + "/tests/providers/scripted_provider.py";

std::vector<TranslationRequest> requests(const std::vector<std::string>& texts) {
  std::vector<TranslationRequest> out;
  for (size_t i = 0; i < texts.size(); ++i) out.push_back({texts[i], std::to_string(i)});
  return out;
}

// Points the scripted provider's request log at a file for the life of the object.
struct RequestLog {
  TempDir dir;
  std::filesystem::path file = dir / "requests.log";
  RequestLog() { setenv("QY_TEST_REQUEST_LOG", file.c_str(), 1); }
  ~RequestLog() { unsetenv("QY_TEST_REQUEST_LOG"); }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    if (!std::filesystem::exists(file)) return out;
    const std::string text = testing::readFile(file);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      out.push_back(text.substr(start, end - start));
    return out;
  }
  // Waits (without a time bound of its own: the test's deadline is the batch's) until the
  // provider has received `count` requests.
  void waitFor(size_t count) const {
    while (lines().size() < count) std::this_thread::sleep_for(10ms);
  }
};

TEST(TranslationDeadline, EveryBatchOfARunSharesOneDeadline) {
  auto service = std::make_shared<testing::ScriptedTranslationService>();
  service->setStatus("fr", PairStatus::installed);
  service->setStatus("de", PairStatus::installed);
  std::vector<std::string> texts;
  for (int i = 0; i < 45; ++i)
    texts.push_back("Nous vous écrivons au sujet de la réunion numéro " + std::to_string(i) + ".");
  texts.push_back("Der Quartalsbericht ist dieser Nachricht beigefügt, bitte lesen Sie ihn bald.");
  Config cfg;
  cfg.targetLanguage = "zh-Hans";
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(Translator::run(texts, cfg, [](TranslationDict) {}, {}, service).empty());
  const auto after = std::chrono::steady_clock::now();

  const auto batches = service->batches();
  ASSERT_EQ(batches.size(), 3u);  // French 40 + 5, German 1
  for (const auto& batch : batches) {
    SCOPED_TRACE(batch.source);
    EXPECT_EQ(batch.deadline.at, batches[0].deadline.at);
    EXPECT_EQ(batch.deadline.limit, kTranslationTimeLimit);
  }
  EXPECT_GE(batches[0].deadline.at, before + kTranslationTimeLimit);
  EXPECT_LE(batches[0].deadline.at, after + kTranslationTimeLimit);
}

TEST(TranslationDeadline, AnEngineThatTimesItsOwnRequestsIsPacedByItsAnswers) {
  // A local model server: batches cut by characters, every answer gives the run its time again,
  // and a request that timed out ends the run's time for every later group.
  auto service = std::make_shared<testing::ScriptedTranslationService>();
  service->setStatus("fr", PairStatus::installed);
  service->setStatus("de", PairStatus::installed);
  service->setPacing({.maxCharacters = 200, .timesOwnRequests = true});
  std::vector<std::string> texts;
  for (int i = 0; i < 6; ++i)  // 71 characters each: two to a batch
    texts.push_back("Nous vous écrivons au sujet de la réunion numéro " + std::to_string(i) + " de cette semaine.");
  texts.push_back(std::string(300, 'x'));  // longer than a batch: goes alone
  texts.push_back("Der Quartalsbericht ist dieser Nachricht beigefügt, bitte lesen Sie ihn bald.");
  Config cfg;
  cfg.targetLanguage = "zh-Hans";
  std::vector<size_t> delivered;
  EXPECT_TRUE(Translator::run(texts, cfg, [&](TranslationDict d) { delivered.push_back(d.size()); }, {}, service).empty());
  EXPECT_EQ(delivered, (std::vector<size_t>{2, 2, 2, 1, 1}));
  const auto batches = service->batches();
  ASSERT_EQ(batches.size(), 5u);
  for (size_t i = 1; i < batches.size(); ++i) EXPECT_GE(batches[i].deadline.at, batches[i - 1].deadline.at);
  EXPECT_GT(batches.back().deadline.at, batches.front().deadline.at);

  auto hung = std::make_shared<testing::ScriptedTranslationService>();
  hung->setStatus("fr", PairStatus::installed);
  hung->setStatus("de", PairStatus::installed);
  hung->setPacing({.maxCharacters = 200, .timesOwnRequests = true});
  hung->timeOutBatch(0);
  const auto errors = Translator::run(texts, cfg, {}, {}, hung);
  ASSERT_EQ(hung->batches().size(), 2u);  // the French group's first, then the German one
  EXPECT_TRUE(hung->batches()[1].deadline.passed());  // a real engine fails it at once
  EXPECT_EQ(errors, (std::vector<std::string>{"系统翻译出错：在 120 秒内没有回答"}));
}

TEST(TranslationDeadline, AHungEngineCostsARunItsDeadlineOnceNotOncePerBatch) {
  RequestLog log;
  platform::CommandProvider provider({{kScript}, {{"*", "es"}}});
  ASSERT_EQ(provider.session("en", "es")
                ->translations(requests({"warm up"}), TranslationDeadline::after(kTranslationTimeLimit))
                .error,
            std::nullopt);
  // A message in four languages: four sessions, one run, one deadline.
  const auto deadline = TranslationDeadline::after(1500ms);
  const auto first = provider.session("de", "es")->translations(requests({"HANG"}), deadline);
  EXPECT_EQ(first.error, std::string("翻译程序 scripted_provider.py 在 1.5 秒内没有回答"));
  for (const char* language : {"fr", "it", "pt"}) {
    SCOPED_TRACE(language);
    const auto later = provider.session(language, "es")->translations(requests({"Salut"}), deadline);
    EXPECT_EQ(later.error, first.error);
  }
  // The later batches failed without restarting the engine or sending anything.
  for (const auto& line : log.lines()) EXPECT_EQ(line.find("Salut"), std::string::npos) << line;
  // A new run has a new deadline and a working engine again.
  const auto next = provider.session("fr", "es")->translations(
      requests({"Bonjour"}), TranslationDeadline::after(kTranslationTimeLimit));
  ASSERT_EQ(next.error, std::nullopt);
  EXPECT_EQ(next.responses.at(0).targetText, "es:Bonjour");
}

TEST(TranslationDeadline, ReplacingAProviderEndsItsHungBatchAtOnce) {
  RequestLog log;
  TempDir home;
  const auto file = home / "translators.json";
  auto writeConfig = [&](const std::string& json) {
    testing::writeFile(file, json);
    chmod(file.c_str(), 0600);
  };
  writeConfig(R"({"apertium": false, "commands": [{"command": [")" + kScript +
              R"("], "pairs": [["*", "es"]]}]})");
  platform::SystemServiceOptions options;
  options.configFile = file;
  platform::SystemTranslationService service(options);
  ASSERT_EQ(service.status("en", "es"), PairStatus::installed);

  BatchResult hung;
  std::thread batch([&] {
    hung = service.session("en", "es")->translations(
        requests({"HANG"}), TranslationDeadline::after(kTranslationTimeLimit));
  });
  log.waitFor(1);
  // The user edits translators.json while the batch hangs: the reload neither waits for the
  // batch nor lets it run on to its deadline.
  writeConfig(R"({"apertium": false, "commands": []})");
  EXPECT_EQ(service.status("en", "es"), PairStatus::unsupported);
  batch.join();
  EXPECT_EQ(hung.error, std::string("翻译程序 scripted_provider.py 已停止"));
}

}  // namespace
}  // namespace qy
