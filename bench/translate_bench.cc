// Translation service and language detection speed.
// - Apertium eng→spa through the persistent stage pipeline against the floor it replaces, one
//   `apertium -u eng-spa` process per batch: latency of a 40-segment batch of short sentences,
//   the first batch after start-up, and words per second on a long real mail (the GnuPG
//   announcement from the corpus) sent in batches of 40 paragraphs.
// - Lang::detect and Lang::scripts throughput on mixed-language text.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/translate/lang.h"
#include "platform/apertium_provider.h"
#include "platform/child_process.h"

namespace {

using qy::TranslationRequest;
using qy::platform::ApertiumProvider;
using qy::platform::SteadyClock;
using qy::platform::ProcessChain;

qy::TranslationDeadline healthy() { return qy::TranslationDeadline::after(qy::kTranslationTimeLimit); }

std::vector<TranslationRequest> requestsFor(const std::vector<std::string>& texts) {
  std::vector<TranslationRequest> out;
  for (size_t i = 0; i < texts.size(); ++i) out.push_back({texts[i], std::to_string(i)});
  return out;
}

const std::vector<std::string>& shortSegments() {
  static const std::vector<std::string> segments = [] {
    const char* kSentences[] = {
        "The meeting is moved to Thursday.", "Please send me the report.",
        "Thank you for your quick answer.", "The invoice is attached to this message.",
        "We will call you tomorrow morning.",
    };
    std::vector<std::string> out;
    for (int i = 0; i < 40; ++i) out.push_back(kSentences[i % 5]);
    return out;
  }();
  return segments;
}

// The paragraphs of a long English mail from the corpus (its body, split at blank lines).
const std::vector<std::string>& longMail() {
  static const std::vector<std::string> paragraphs = [] {
    std::ifstream in(std::string(QY_CORPUS_DIR) + "/eml/mk__Announce_GnuPG_2.1.20_released.eml");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t body = text.find("\n\n");
    std::vector<std::string> out;
    std::string current;
    std::istringstream lines(body == std::string::npos ? text : text.substr(body + 2));
    for (std::string line; std::getline(lines, line);) {
      if (line.find_first_not_of(" \t\r") == std::string::npos) {
        if (!current.empty()) out.push_back(current);
        current.clear();
      } else {
        if (!current.empty()) current += ' ';
        current += line;
      }
    }
    if (!current.empty()) out.push_back(current);
    return out;
  }();
  return paragraphs;
}

size_t wordCount(const std::vector<std::string>& texts) {
  size_t words = 0;
  for (const auto& text : texts) {
    std::istringstream in(text);
    for (std::string word; in >> word;) ++words;
  }
  return words;
}

bool apertiumPresent() { return std::filesystem::exists("/usr/share/apertium/modes/eng-spa.mode"); }

// One `apertium -u eng-spa` process for a batch: the segments as lines of one input.
bool translateWithOneProcess(const std::vector<std::string>& texts) {
  const auto apertium = qy::platform::findProgram("apertium");
  if (!apertium) return false;
  std::string error;
  auto chain = ProcessChain::start({{*apertium, "-u", "eng-spa"}}, error);
  if (!chain) return false;
  std::string input;
  for (const auto& text : texts) input += text + "\n";
  std::string output;
  chain->communicate(input, SteadyClock::now() + std::chrono::seconds(60), output, 1 << 30);
  return chain->wait(SteadyClock::now() + std::chrono::seconds(60)) == 0 && !output.empty();
}

void BM_ApertiumPersistentBatch40(benchmark::State& state) {
  if (!apertiumPresent()) return state.SkipWithError("apertium-eng-spa is not installed");
  ApertiumProvider provider;
  auto session = provider.session("en", "es");
  const auto requests = requestsFor(shortSegments());
  if (session->translations(requests, healthy()).error) return state.SkipWithError("warm-up batch failed");
  for (auto _ : state) {
    auto result = session->translations(requests, healthy());
    if (result.error) return state.SkipWithError(result.error->c_str());
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_ApertiumPersistentBatch40)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ApertiumProcessPerBatch40(benchmark::State& state) {
  if (!apertiumPresent()) return state.SkipWithError("apertium-eng-spa is not installed");
  for (auto _ : state)
    if (!translateWithOneProcess(shortSegments())) return state.SkipWithError("apertium failed");
}
BENCHMARK(BM_ApertiumProcessPerBatch40)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_ApertiumFirstBatchAfterStart(benchmark::State& state) {
  if (!apertiumPresent()) return state.SkipWithError("apertium-eng-spa is not installed");
  const auto requests = requestsFor(shortSegments());
  for (auto _ : state) {
    ApertiumProvider provider;  // a fresh pipeline each time
    auto result = provider.session("en", "es")->translations(requests, healthy());
    if (result.error) return state.SkipWithError(result.error->c_str());
    state.PauseTiming();  // not the shutdown
    benchmark::DoNotOptimize(result);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ApertiumFirstBatchAfterStart)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_ApertiumLongMailPersistent(benchmark::State& state) {
  if (!apertiumPresent()) return state.SkipWithError("apertium-eng-spa is not installed");
  ApertiumProvider provider;
  auto session = provider.session("en", "es");
  const auto& mail = longMail();
  if (session->translations(requestsFor({"warm up"}), healthy()).error) return state.SkipWithError("warm-up failed");
  for (auto _ : state) {
    for (size_t start = 0; start < mail.size(); start += 40) {
      std::vector<std::string> batch(mail.begin() + static_cast<long>(start),
                                     mail.begin() + static_cast<long>(std::min(mail.size(), start + 40)));
      auto result = session->translations(requestsFor(batch), healthy());
      if (result.error) return state.SkipWithError(result.error->c_str());
    }
  }
  state.counters["words/s"] = benchmark::Counter(static_cast<double>(wordCount(mail)),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ApertiumLongMailPersistent)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ApertiumLongMailProcessPerBatch(benchmark::State& state) {
  if (!apertiumPresent()) return state.SkipWithError("apertium-eng-spa is not installed");
  const auto& mail = longMail();
  for (auto _ : state) {
    for (size_t start = 0; start < mail.size(); start += 40) {
      std::vector<std::string> batch(mail.begin() + static_cast<long>(start),
                                     mail.begin() + static_cast<long>(std::min(mail.size(), start + 40)));
      if (!translateWithOneProcess(batch)) return state.SkipWithError("apertium failed");
    }
  }
  state.counters["words/s"] = benchmark::Counter(static_cast<double>(wordCount(mail)),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ApertiumLongMailProcessPerBatch)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Segment-sized paragraphs in several languages and scripts.
const std::vector<std::string>& mixedParagraphs() {
  static const std::vector<std::string> paragraphs = {
      "The quarterly report is attached to this message. Please read it before our meeting on "
      "Thursday and send me your comments about the budget section.",
      "Le rapport trimestriel est joint à ce message. Merci de le lire avant notre réunion de "
      "jeudi et de m'envoyer vos remarques sur la partie budgétaire.",
      "Der Quartalsbericht ist dieser Nachricht beigefügt. Bitte lesen Sie ihn vor unserem "
      "Treffen am Donnerstag und schicken Sie mir Ihre Anmerkungen.",
      "季度报告已附在这封邮件中。请在星期四的会议之前阅读，并把你对预算部分的意见发给我。",
      "四半期報告書をこのメールに添付しました。木曜日の会議の前に読んでいただき、予算についてご意見をお送りください。",
      "Квартальный отчёт приложен к этому письму. Пожалуйста, прочитайте его до нашей встречи в "
      "четверг и пришлите замечания по бюджету.",
      "분기 보고서를 이 메일에 첨부했습니다. 목요일 회의 전에 읽어 보시고 예산 부분에 대한 의견을 보내 주세요.",
  };
  return paragraphs;
}

void BM_LangDetectSegments(benchmark::State& state) {
  const auto& paragraphs = mixedParagraphs();
  size_t bytes = 0;
  for (const auto& p : paragraphs) bytes += p.size();
  for (auto _ : state)
    for (const auto& p : paragraphs) benchmark::DoNotOptimize(qy::Lang::detect(p, 0.8));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_LangDetectSegments);

std::string mixedText() {
  std::string text;
  while (text.size() < 64 * 1024)
    for (const auto& p : mixedParagraphs()) text += p + "\n";
  return text;
}

void BM_LangDetectWholeText(benchmark::State& state) {
  const std::string text = mixedText();
  for (auto _ : state) benchmark::DoNotOptimize(qy::Lang::detect(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LangDetectWholeText);

void BM_LangScripts(benchmark::State& state) {
  const std::string text = mixedText();
  for (auto _ : state) benchmark::DoNotOptimize(qy::Lang::scripts(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LangScripts);

}  // namespace

BENCHMARK_MAIN();
