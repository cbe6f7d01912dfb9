// The engine's construction and its message pipeline.
#include "core/engine/engine.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "core/base/unicode.h"
#include "core/config/config_store.h"
#include "core/config/lang_names.h"
#include "core/config/log.h"
#include "core/config/paths.h"
#include "core/engine/engine_report.h"
#include "core/engine/message_body.h"
#include "core/translate/lang.h"
#include "core/translate/translation_service.h"
#include "core/translate/translator.h"

namespace qy {
namespace {

constexpr size_t kSampleCharacters = 6'000;
constexpr std::string_view kTooLarge = "邮件太大";
// Waits longer than this are treated as "until the job ends" (jobs always end: every batch has
// an answer limit).
constexpr double kUnboundedWait = 1e6;
// Jobs started for one key before the engine gives up on it (until the user retries): enough to
// ride out a passing fault, few enough that a message that always fails does not keep the
// translation engine busy.
constexpr int64_t kMaxAttempts = 3;
// Jobs translating at once: the translation engines run on the user's own cores, and two keep
// a message's translation moving while another waits, without starving the mail client.
constexpr int64_t kTranslatingJobs = 2;
// Worker threads for admitted jobs: one more than may translate at once, so a job that has left
// the gate and is still storing its translations never delays the next admitted one.
constexpr size_t kWorkerThreads = kTranslatingJobs + 1;

Engine::Options withDefaults(Engine::Options options) {
  if (options.root.empty()) options.root = Paths::root();
  if (!options.loadConfig) {
    if (options.root == Paths::root()) {
      options.loadConfig = [] { return ConfigStore::load(); };
    } else {
      auto store = std::make_shared<ConfigStore::Store>(options.root);
      options.loadConfig = [store] { return store->load(); };
    }
  }
  if (!options.log) options.log = [](std::string_view line) { Log::write(line); };
  if (!options.clock) options.clock = std::make_shared<SystemClock>();
  if (!options.translate) {
    options.translate = [](const std::vector<std::string>& texts, const Config& cfg,
                           const std::function<void(const TranslationDict&)>& deliver,
                           std::stop_token stop) {
      return Translator::run(
          texts, cfg, [&deliver](TranslationDict part) { deliver(part); }, stop);
    };
  }
  if (!options.servedTarget) {
    options.servedTarget = [](std::string_view source, std::string_view target) {
      return TranslationService::shared()->servedTarget(source, target);
    };
  }
  return options;
}

int64_t millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace

Engine& Engine::shared(Lifetime lifetime) {
  // Created once, never destroyed: jobs may still run while the process exits.
  static Engine* engine = [lifetime] {
    Options options;
    options.lifetime = lifetime;
    return new Engine(std::move(options));
  }();
  return *engine;
}

Engine::Engine(Options options) : Engine(withDefaults(std::move(options)), Resolved{}) {}

Engine::Engine(Options options, Resolved)
    : root_(options.root),
      cacheDir_(root_ / "cache"),
      loadConfig_(std::move(options.loadConfig)),
      log_(std::move(options.log)),
      clock_(std::move(options.clock)),
      translate_(std::move(options.translate)),
      servedTarget_(std::move(options.servedTarget)),
      lifetime_(options.lifetime),
      failed_(options.maxKeyRecords),
      attempts_(options.maxKeyRecords),
      requested_(options.maxKeyRecords),
      wantsReload_(options.maxKeyRecords),
      gate_(kTranslatingJobs),
      workers_(kWorkerThreads) {
  Paths::ensureDirectory(cacheDir_);
  {
    // Failures of earlier processes still pause their keys.
    auto stored = FailureFile::read(FailureFile::pathIn(root_), now(), kFailurePause);
    MutexLock guard(mutex_);
    for (auto& [key, failure] : stored) failed_.put(key) = std::move(failure);
  }
  if (options.prune && lifetime_ == Lifetime::longLived) {
    pruner_ = std::jthread([this, delay = options.pruneDelay](std::stop_token stop) {
      pruneLoop(std::move(stop), delay);
    });
  }
}

Engine::~Engine() {
  stop_.request_stop();
  pruner_.request_stop();
  if (pruner_.joinable()) pruner_.join();
  waitForJobs();
}

std::string Engine::hash(ByteView bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(24);
  for (int i = 0; i < 12; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return out;
}

std::string Engine::keyFor(const std::string& fingerprint, const Config& cfg) {
  const std::string signature = cfg.translationSignature();
  const auto* data = reinterpret_cast<const uint8_t*>(signature.data());
  return fingerprint + "-" + hash(ByteView(data, signature.size())).substr(0, 10);
}

Date Engine::now() const { return clock_->now(); }

void Engine::log(std::string_view line) const { log_(line); }

Engine::Result Engine::skip(std::string_view reason, size_t size) const {
  log("decode " + std::to_string(size) + "B -> skipped (" + std::string(reason) + ")");
  Result result;
  result.note = std::string(reason);
  return result;
}

Engine::Result Engine::darkOnly(std::string_view reason, size_t size, const MessageBody& body,
                                const Config& cfg) const {
  log("decode " + std::to_string(size) + "B -> dark only (" + std::string(reason) + ")");
  Result result;
  result.data = body.rebuild(body.doc().render({}, cfg));
  result.note = "dark";
  return result;
}

Engine::Result Engine::tooLarge() const {
  const Config cfg = loadConfig_();
  Result result;
  result.note = cfg.mode == "off" && cfg.darkMode == "off" ? "off" : kTooLarge;
  return result;
}

void Engine::logTooLarge(const Result& result, uint64_t size) const {
  if (result.note == kTooLarge) skip(kTooLarge, size);
}

Engine::Result Engine::process(ByteView bytes, std::optional<double> wait) {
  const auto start = std::chrono::steady_clock::now();
  const size_t size = bytes.size();
  const Config cfg = loadConfig_();

  // Translation off: only dark recolouring may still apply.
  bool darkOnlyMode = false;
  if (cfg.mode == "off") {
    if (cfg.darkMode == "off") {
      Result result;
      result.note = "off";
      return result;
    }
    darkOnlyMode = true;
  }
  if (size > Engine::kMaxMessageBytes) return skip(kTooLarge, size);

  MessageBody body(bytes, cfg);
  if (!body.skipReason().empty()) {
    Result result = skip(body.skipReason(), size);
    // A signed or encrypted message is shown as it arrived; the banner says so, so that the
    // reader does not wait for a translation that will not come.
    if (body.signedOrEncrypted()) result.banner = kKeptAsItIs;
    return result;
  }
  const TranslatableDoc& doc = body.doc();
  const bool dark = doc.willDarken(cfg);
  auto skipOrDark = [&](std::string_view reason) {
    return dark ? darkOnly(reason, size, body, cfg) : skip(reason, size);
  };
  if (darkOnlyMode) return skipOrDark("翻译已关闭");

  // Unique segment texts, in order of first occurrence.
  std::vector<std::string> unique;
  {
    std::unordered_set<std::string> seen;
    for (auto& text : doc.segmentTexts()) {
      if (seen.insert(text).second) unique.push_back(std::move(text));
    }
  }
  if (unique.empty()) return skipOrDark("没有可翻译的文字");

  // Joining stops once the join holds more than 6,000 characters: counted only when its bytes
  // pass a mark, which doubles whenever long clusters (stacked marks) leave it still short.
  std::string sample;
  size_t countAt = kSampleCharacters * 64;
  for (size_t i = 0; i < unique.size(); ++i) {
    if (i > 0) sample += '\n';
    sample += unique[i];
    if (sample.size() > countAt) {
      if (Unicode::graphemePrefix(sample, kSampleCharacters).size() < sample.size()) break;
      countAt = sample.size() * 2;
    }
  }
  sample = std::string(Unicode::graphemePrefix(sample, kSampleCharacters));
  if (Lang::isTarget(sample, cfg.targetLanguage, true)) return skipOrDark("已是目标语言");

  // Texts not yet in the target language, within the character budget.
  std::vector<std::string> planned;
  bool truncated = false;
  int64_t budget = cfg.maxChars;
  // The Subject is one more text of the message's job (it is what a mail list shows), taken
  // first from the budget. The banner's total counts the body's paragraphs only.
  std::optional<std::string> subject;
  if (!body.subject().empty() && budget >= 1 &&
      !Lang::isTarget(body.subject(), cfg.targetLanguage, false)) {
    subject = body.subject();
    budget -= static_cast<int64_t>(Unicode::graphemeCount(*subject));
  }
  for (auto& text : unique) {
    if (Lang::isTarget(text, cfg.targetLanguage, false)) continue;
    if (budget < 1) {
      truncated = true;
      break;  // nothing later is taken, and the message is marked already
    }
    budget -= static_cast<int64_t>(Unicode::graphemeCount(text));
    planned.push_back(std::move(text));
  }
  const auto total = static_cast<int64_t>(planned.size());

  const std::string fingerprint = hash(bytes);
  const std::string key = keyFor(fingerprint, cfg);
  Result result;
  result.context = {{"h", fingerprint}, {"k", key}, {"s", "done"}};

  bool requested;
  {
    MutexLock guard(mutex_);
    requested = requested_.contains(fingerprint);
  }
  if (!requested && cfg.trigger == "manual") {
    auto language = Lang::detect(sample, 0);
    result.context["s"] = "offer";
    if (dark) result.data = body.rebuild(doc.render({}, cfg));
    result.banner = "这封邮件是" + (language ? LangNames::chinese(*language) : std::string("外文"));
    result.action = "翻译";
    result.note = "offer";
    return result;
  }

  // The cached dictionary is used as it is unless a job adds to it.
  std::shared_ptr<const TranslationDict> cachedDict = cachedShared(key);
  const TranslationDict* translations = cachedDict.get();
  TranslationDict merged;
  TranslationDict delivered;  // what the joined job has translated so far
  std::vector<std::string> missing;
  for (const auto& text : planned) {
    if (!cachedDict->count(text)) missing.push_back(text);
  }
  if (subject && !cachedDict->count(*subject) &&
      std::find(missing.begin(), missing.end(), *subject) == missing.end()) {
    missing.insert(missing.begin(), *subject);
  }
  bool pending = false;
  std::vector<std::string> errors;
  if (!missing.empty()) {
    MutexLock guard(mutex_);
    std::shared_ptr<Job> job;
    if (auto it = jobs_.find(key); it != jobs_.end()) {
      job = it->second;
    } else if (auto stored = mem_.find(key); stored != mem_.end() && stored->second != cachedDict) {
      // A job stored its translations since the cache was read: take them instead of starting
      // the same job again.
      cachedDict = stored->second;
      translations = cachedDict.get();
      std::erase_if(missing, [&](const std::string& text) { return cachedDict->count(text) > 0; });
    }
    if (!job && !missing.empty()) {
      const Failure* failure = failed_.find(key);
      const bool recent = failure && now() - failure->at < kFailurePause;
      const int64_t* attempts = attempts_.find(key);
      if (!recent && (!attempts || *attempts < kMaxAttempts)) {
        job = startJob(key, missing, cfg);
      } else {
        errors = failure ? failure->errors : std::vector<std::string>{"翻译多次失败，已暂停重试"};
      }
    }
    if (job) {
      double seconds = wait.value_or(cfg.firstPaintSeconds);
      if (!(seconds > 0)) seconds = 0;  // negative or NaN: do not wait
      // The predicate runs with mutex_ held, which the analysis cannot see through the wait.
      auto ended = [&]() QY_NO_THREAD_SAFETY_ANALYSIS { return job->finished; };
      if (seconds >= kUnboundedWait) {
        guard.wait(cond_, ended);
      } else {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(seconds));
        guard.waitUntil(cond_, deadline, ended);
      }
      delivered = job->tr;
      if (job->finished) {
        errors = job->errors;
      } else {
        wantsReload_.put(key);
      }
      pending = !job->finished;
    }
  }

  if (!delivered.empty()) {
    // The job's translations win over cached ones.
    merged = *cachedDict;
    for (auto& [source, translation] : delivered) merged[source] = std::move(translation);
    translations = &merged;
  }

  int64_t done = 0;
  for (const auto& text : planned) done += translations->count(text) ? 1 : 0;
  const int64_t elapsed = millisecondsSince(start);
  // A regional target that no engine has is written in the plain language, and the banner
  // says so; the message's own language stands for its segments' languages.
  std::string written = cfg.targetLanguage;
  if (Lang::withoutRegion(written) != written) {
    if (const auto language = Lang::detect(sample, 0))
      written = servedTarget_(*language, cfg.targetLanguage);
  }
  const std::string name = LangNames::chinese(written);

  if (subject) {
    if (auto it = translations->find(*subject); it != translations->end() && !it->second.empty())
      result.subject = it->second;
  }
  if (done > 0 || dark) result.data = body.rebuild(doc.render(*translations, cfg));
  auto banner = EngineReport::bannerFor(pending, errors, done, total, truncated, name);
  result.banner = banner.banner;
  result.action = banner.action;
  result.context["s"] = banner.state;
  result.note = banner.note;
  log(EngineReport::decodeLine(size, result.note, done, total, cfg.mode, dark, truncated, elapsed,
                               errors));
  return result;
}

}  // namespace qy
