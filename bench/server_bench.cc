// The local-server provider's own overhead against the time a model needs, for a 60,000-character
// newsletter (the sample newsletter's paragraphs repeated):
// - BM_ChatBatchWork: the provider's CPU work for one batch of about kChatBatchCharacters, with no
//   network: the prompt, the request's JSON, reading a fenced answer back.
// - BM_NewsletterThroughStandIn: the whole newsletter through the translator, the system service
//   and HTTP to a stand-in Ollama on 127.0.0.1 that answers at once; per batch, that is the
//   provider's overhead plus the stand-in's own work.
// Both print, for comparison, the time a 7B model at 20 tokens a second would take for a batch
// (its answer, about one token per 3.5 characters of source for Chinese output).
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/translate/translator.h"
#include "platform/chat_answer.h"
#include "platform/server_provider.h"
#include "platform/server_wire.h"
#include "platform/system_translation_service.h"
#include "support/stand_in_server.h"

namespace {

using namespace qy::platform;

constexpr size_t kNewsletterCharacters = 60'000;
constexpr double kModelTokensPerSecond = 20;
constexpr double kCharactersPerToken = 3.5;

// Paragraphs of text from the sample newsletter, tags dropped, repeated to 60,000 characters.
const std::vector<std::string>& newsletter() {
  static const std::vector<std::string> paragraphs = [] {
    std::ifstream in(std::string(QY_SOURCE_DIR) + "/samples/newsletter-en.eml");
    const std::string mail((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> base;
    for (size_t at = 0; (at = mail.find("<p", at)) != std::string::npos;) {
      const size_t open = mail.find('>', at);
      const size_t close = mail.find("</p>", open);
      if (open == std::string::npos || close == std::string::npos) break;
      std::string text;
      bool inTag = false;
      for (char c : mail.substr(open + 1, close - open - 1)) {
        if (c == '<') inTag = true;
        else if (c == '>') inTag = false;
        else if (!inTag) text += c == '\n' ? ' ' : c;
      }
      if (text.size() > 30) base.push_back(text);
      at = close;
    }
    if (base.empty()) base.push_back("The library opens its new reading room on Saturday, with talks and music.");
    std::vector<std::string> out;
    size_t total = 0;
    for (size_t i = 0; total < kNewsletterCharacters; ++i) {
      out.push_back(base[i % base.size()] + " (" + std::to_string(i) + ")");
      total += out.back().size();
    }
    return out;
  }();
  return paragraphs;
}

// The first paragraphs up to one batch's characters.
std::vector<std::string> oneBatch() {
  std::vector<std::string> batch;
  size_t characters = 0;
  for (const auto& text : newsletter()) {
    if (characters + text.size() > kChatBatchCharacters) break;
    batch.push_back(text);
    characters += text.size();
  }
  return batch;
}

double modelSecondsFor(size_t characters) {
  return static_cast<double>(characters) / kCharactersPerToken / kModelTokensPerSecond;
}

void BM_ChatBatchWork(benchmark::State& state) {
  const std::vector<std::string> batch = oneBatch();
  size_t characters = 0;
  nlohmann::json translations = nlohmann::json::array();
  for (const auto& text : batch) {
    characters += text.size();
    translations.push_back("译文" + text);
  }
  const std::string answer = nlohmann::json{{"message", {{"role", "assistant"},
                                                         {"content", "```json\n" + translations.dump() + "\n```"}}},
                                            {"done", true}}.dump();
  for (auto _ : state) {
    const std::string body = ServerWire::ollamaRequest(
        "qwen2.5:7b", ChatAnswer::systemMessage("en", "zh-Hans", batch.size()), ChatAnswer::userMessage(batch),
        batch.size());
    benchmark::DoNotOptimize(body);
    const auto content = ServerWire::ollamaContent(answer);
    auto parsed = ChatAnswer::parse(*content, batch.size());
    if (!parsed) state.SkipWithError("answer not read");
    benchmark::DoNotOptimize(parsed);
  }
  state.counters["texts"] = static_cast<double>(batch.size());
  state.counters["model_s_per_batch"] = modelSecondsFor(characters);
}
BENCHMARK(BM_ChatBatchWork)->Unit(benchmark::kMicrosecond);

void BM_NewsletterThroughStandIn(benchmark::State& state) {
  qy::testing::StandInServer server(qy::testing::StandInServer::Api::ollama);
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "qy-server-bench";
  std::filesystem::create_directories(dir);
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
  {
    std::ofstream(dir / "translators.json")
        << R"({"apertium": false, "servers": [{"api": "ollama", "url": ")" + server.url() +
               R"(", "model": "qwen2.5:7b"}]})";
  }
  std::filesystem::permissions(dir / "translators.json",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  SystemServiceOptions options;
  options.configFile = dir / "translators.json";
  auto service = std::make_shared<SystemTranslationService>(options);
  qy::Config cfg;
  cfg.targetLanguage = "zh-Hans";
  size_t batches = 0;
  for (auto _ : state) {
    batches = 0;
    const auto errors = qy::Translator::run(newsletter(), cfg, [&](qy::TranslationDict) { ++batches; }, {}, service);
    if (!errors.empty()) state.SkipWithError(errors.front().c_str());
  }
  size_t characters = 0;
  for (const auto& text : newsletter()) characters += text.size();
  state.counters["batches"] = static_cast<double>(batches);
  state.counters["ms_per_batch"] = benchmark::Counter(
      static_cast<double>(batches) * 1e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["model_s_whole"] = modelSecondsFor(characters);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_NewsletterThroughStandIn)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
