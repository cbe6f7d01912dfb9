// The message pipeline on cached translations.
//
// 1. Engine::process on a 200 KB plain-text message whose translations are all cached (in memory,
//    and on disk only), next to the work no implementation of this pipeline can skip: SHA-256 of
//    the message, Base64 of the output, and one language-detection pass over the body text.
// 2. 1, 2 and 8 threads calling process on 200 distinct cached messages: messages per second.
//    With the lock held only for lookups, throughput scales with the cores until they are busy;
//    the locked sections of one call are timed on their own for comparison.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/engine.h"
#include "core/translate/lang.h"

namespace qy {
namespace {

const char* const kSentences[] = {
    "The committee will meet again next Thursday to review the budget proposal.",
    "Please find attached the minutes of our last meeting and the revised schedule.",
    "We would be grateful if you could confirm your attendance by the end of the week.",
    "The new office in the harbour district opens its doors to visitors in spring.",
    "Several members asked whether the travel costs could be reimbursed this year.",
    "Our thanks go to everyone who helped prepare the annual report on time.",
};

std::string paragraphText(int i) {
  std::string text;
  for (int s = 0; s < 3; ++s) {
    if (s) text += ' ';
    text += kSentences[(i + s) % 6];
  }
  return text + " (item " + std::to_string(i) + ")";
}

// A plain-text message of about `size` bytes, distinct per `seed`.
std::string message(size_t size, int seed) {
  std::string body;
  for (int i = 0; body.size() < size; ++i) body += paragraphText(i) + "\n\n";
  return "From: a@example.com\nTo: b@example.com\nSubject: Report " + std::to_string(seed) +
         "\nMIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
         "Content-Transfer-Encoding: 8bit\n\n" + body;
}

ByteView view(const std::string& s) {
  return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

struct Setup {
  std::filesystem::path root;
  Config cfg;
  Setup() {
    char pattern[] = "/tmp/qy-bench-XXXXXX";
    root = mkdtemp(pattern);
    cfg.targetLanguage = "es";
  }
  ~Setup() { std::filesystem::remove_all(root); }

  std::unique_ptr<Engine> engine() const {
    Engine::Options options;
    options.root = root;
    Config c = cfg;
    options.loadConfig = [c] { return c; };
    options.log = [](std::string_view) {};
    options.prune = false;
    options.translate = [](const std::vector<std::string>& texts, const Config&,
                           const std::function<void(const TranslationDict&)>& deliver,
                           std::stop_token) {
      TranslationDict dict;
      for (const auto& t : texts) dict[t] = "Traducción de " + t;
      deliver(dict);
      return std::vector<std::string>{};
    };
    return std::make_unique<Engine>(std::move(options));
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

void BM_ProcessCachedInMemory(benchmark::State& state) {
  const std::string mail = message(200 * 1024, 0);
  auto engine = setup().engine();
  engine->process(view(mail), 60);  // translates and caches
  for (auto _ : state) benchmark::DoNotOptimize(engine->process(view(mail), 0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mail.size()));
}

void BM_ProcessCachedOnDiskOnly(benchmark::State& state) {
  const std::string mail = message(200 * 1024, 0);
  setup().engine()->process(view(mail), 60);
  for (auto _ : state) {
    state.PauseTiming();
    auto engine = setup().engine();  // a fresh process: nothing in memory
    state.ResumeTiming();
    benchmark::DoNotOptimize(engine->process(view(mail), 0));
    state.PauseTiming();
    engine.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mail.size()));
}

// The floor: hash the input, Base64 the output, detect the language of the body once.
void BM_Floor(benchmark::State& state) {
  const std::string mail = message(200 * 1024, 0);
  auto engine = setup().engine();
  auto result = engine->process(view(mail), 60);
  const std::string output(result.data->begin(), result.data->end());
  std::string body = mail.substr(mail.find("\n\n") + 2);
  std::string base64(output.size() * 4 / 3 + 8, '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(Engine::hash(view(mail)));
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()),
                    reinterpret_cast<const unsigned char*>(output.data()),
                    static_cast<int>(output.size()));
    benchmark::DoNotOptimize(Lang::detect(body));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mail.size()));
}

// Several threads on 200 distinct cached messages (about 20 KB each).
void BM_ConcurrentCached(benchmark::State& state) {
  static std::vector<std::string> mails;
  static std::unique_ptr<Engine> engine;
  if (state.thread_index() == 0) {
    if (mails.empty()) {
      for (int i = 0; i < 200; ++i) mails.push_back(message(20 * 1024, i));
      engine = setup().engine();
      for (const auto& m : mails) engine->process(view(m), 60);
    }
  }
  size_t i = static_cast<size_t>(state.thread_index()) * 25;
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine->process(view(mails[i % mails.size()]), 0));
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}

// What a cached process() call does under the engine's lock: the requested-set test and the
// in-memory cache lookup (both take the lock). Compared with the whole call, this bounds how
// much of the lock's time one call can use: far below one call in a thousand.
void BM_LockedSectionsOfACachedCall(benchmark::State& state) {
  auto engine = setup().engine();
  const std::string mail = message(20 * 1024, 7);
  auto result = engine->process(view(mail), 60);
  const std::string key = result.context.at("k");
  const std::string fingerprint = result.context.at("h");
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine->cachedShared(key));
    benchmark::DoNotOptimize(engine->hasJob(fingerprint));  // one more lock round trip
  }
}

BENCHMARK(BM_LockedSectionsOfACachedCall);
BENCHMARK(BM_ProcessCachedInMemory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProcessCachedOnDiskOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConcurrentCached)->Threads(1)->Threads(2)->Threads(8)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qy

BENCHMARK_MAIN();
