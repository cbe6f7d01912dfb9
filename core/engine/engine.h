// Engine: turns one message's bytes into the bytes to show, a banner and a state.
//
// process() decides in a fixed order whether a message is left alone, only recoloured for dark
// mode, offered for translation, or translated. For a translation it looks the segments up in
// the caches, starts or joins the key's background job and waits for it a bounded time, then
// renders what it has and rebuilds the message. Finished jobs store their translations in memory
// (60 keys) and in cache files; failures pause a key for 60 seconds (also for the next process,
// through failures.json) and stop after 3 attempts; a result shown unfinished asks the host to
// reload when its job ends (12 times a minute at most). The per-key records are bounded.
//
// Threads: process() and every public operation may be called from any thread at once. All
// mutable state is guarded by `mutex_` with the condition variable `cond_` (together "cond");
// file work, rendering, rebuilding and logging run outside it. Jobs wait at the gate without a
// thread and translate on a worker thread of their own once admitted.
//
// Lifetime: shared() is created on first use and lives until the process ends. A long-lived
// engine prunes the cache 5 s after its start and then daily on a thread of its own; a one-shot
// engine starts no thread for it and prunes when its owner calls pruneIfDue() (at most daily, by
// a stamp file in the cache directory). Destroying an engine stops its background work, tells
// running translations to stop and waits for its jobs; a stopped job is a failure, never a
// finished translation, and caches nothing for the texts it did not translate.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/base/thread_annotations.h"
#include "core/config/config.h"
#include "core/engine/cache_files.h"
#include "core/engine/clock.h"
#include "core/engine/engine_failures.h"
#include "core/engine/engine_records.h"
#include "core/engine/gate.h"
#include "core/base/worker_pool.h"
#include "core/mime/mime_part.h"

namespace qy {

class Engine {
 public:
  // What the pipeline returns for one message.
  struct Result {
    std::optional<Bytes> data;  // the message to show instead; absent: show as received
    std::optional<std::string> banner;
    std::string action = "设置";
    std::map<std::string, std::string> context;  // empty, or "h", "k", "s"
    std::string note;
    // The Subject's translation, once there is one; absent when the subject needs none (already
    // in the target language, translation off, nothing to translate in the message).
    std::optional<std::string> subject;
    bool operator==(const Result&) const = default;
  };

  // Runs the translation of `texts`, handing over translations batch by batch through `deliver`
  // (from any thread), and returns the error texts (empty on full success).
  using TranslateFunction = std::function<std::vector<std::string>(
      const std::vector<std::string>& texts, const Config& cfg,
      const std::function<void(const TranslationDict&)>& deliver, std::stop_token stop)>;

  // How long the process that owns the engine lives: one message (a mail filter's decode) or
  // for as long as the host needs it (a service).
  enum class Lifetime { oneShot, longLived };

  // The banner of a signed or encrypted message, which is shown as it arrived.
  static constexpr std::string_view kKeptAsItIs = "这是签名或加密的邮件，保持原样显示，不翻译";

  // Messages larger than this are shown as they are, without being parsed.
  static constexpr size_t kMaxMessageBytes = 30'000'000;

  // A failed key waits this long before a new job may start for it, so that a failing engine is
  // not asked again on every display.
  static constexpr std::chrono::seconds kFailurePause{60};

  // Per-key records (requested, failed, attempts, wantsReload) kept at most, each: far more
  // than the messages one displays in a day, small enough for a service that runs for weeks.
  static constexpr size_t kMaxKeyRecords = 10'000;

  // The seams of an engine. Defaults: the process's storage root, settings store, log and
  // system clock; the translator over the installed translation service.
  struct Options {
    std::filesystem::path root;                       // storage root; empty: Paths::root()
    std::function<Config()> loadConfig;               // empty: ConfigStore::load
    std::function<void(std::string_view)> log;        // empty: Log::write
    std::shared_ptr<const Clock> clock;               // null: the system clock
    TranslateFunction translate;                      // empty: Translator::run
    // The language written for (source, target), which the banner names; empty: the installed
    // translation service's servedTarget.
    std::function<std::string(std::string_view, std::string_view)> servedTarget;
    Lifetime lifetime = Lifetime::longLived;
    // A long-lived engine's first pruning waits this long, so it does not compete with the
    // first messages.
    std::chrono::milliseconds pruneDelay{5000};
    bool prune = true;  // false: no pruning thread (tests that prune by hand)
    size_t maxKeyRecords = kMaxKeyRecords;
  };

  // The process's engine, with the default seams. The first call decides its lifetime.
  static Engine& shared(Lifetime lifetime = Lifetime::longLived);

  explicit Engine(Options options);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  Result process(ByteView bytes, std::optional<double> wait = std::nullopt);
  // For a message larger than kMaxMessageBytes whose bytes are not at hand: the result that
  // process() gives for it. Its log line, which names the size, is left to logTooLarge(), so
  // that a caller streaming the message from a pipe can count it first.
  Result tooLarge() const;
  // The log line of a message of `size` bytes that tooLarge() answered (none for an "off" result).
  void logTooLarge(const Result& result, uint64_t size) const;

  // The first 12 bytes of the SHA-256 digest as 24 lower-case hexadecimal digits.
  static std::string hash(ByteView bytes);
  // fingerprint + "-" + the first 10 digits of the settings signature's hash.
  static std::string keyFor(const std::string& fingerprint, const Config& cfg);

  // Caches. cached() returns a copy; cachedShared() the cached dictionary itself, which is
  // immutable once cached (a store replaces it), so readers need no lock.
  TranslationDict cached(const std::string& key);
  std::shared_ptr<const TranslationDict> cachedShared(const std::string& key);
  void remember(const std::string& key, TranslationDict dict);
  void store(const std::string& key, const TranslationDict& dict);
  // Prunes this engine's cache directory unless it was pruned less than a day ago (by the stamp
  // file cache/.pruned and the engine's clock); the stamp is renewed first.
  void pruneIfDue();

  // Failure tracking and reloads.
  void requestReload(std::string_view reason);
  void request(const std::string& fingerprint);
  void retry(const std::string& key);
  void forget(const std::string& key);
  void setReloadHook(std::function<void()> hook);

  // Blocks until no job is running (a one-shot process lets its jobs store before it exits),
  // or until `bound` has passed: then the jobs still running are abandoned (told to stop, and
  // nothing they translate is cached or recorded) and the result is false.
  bool waitForJobs(std::optional<std::chrono::milliseconds> bound = std::nullopt);

  // Read-only views of the bookkeeping, for diagnostics and tests.
  int64_t attemptsFor(const std::string& key) const;
  bool hasFailure(const std::string& key) const;
  bool wantsReloadFor(const std::string& key) const;
  bool hasJob(const std::string& key) const;
  std::vector<std::string> memoryKeys() const;

 private:
  // A running translation: shared by its task and every process() call that waits for it. Its
  // fields are guarded by mutex_.
  struct Job {
    TranslationDict tr;               // delivered so far
    bool finished = false;            // set once, when the job has ended
    std::vector<std::string> errors;  // set when the job ends
  };
  struct Resolved {};
  Engine(Options options, Resolved);  // options with every default filled in

  using Failure = FailureFile::Entry;

  std::shared_ptr<Job> startJob(const std::string& key, std::vector<std::string> texts,
                                const Config& cfg) QY_REQUIRES(mutex_);
  void runJob(std::shared_ptr<Job> job, std::string key, std::vector<std::string> texts,
              Config cfg);
  void finish(const std::string& key, const std::shared_ptr<Job>& job,
              const std::vector<std::string>& texts, std::vector<std::string> errors,
              const Config& cfg);
  void prunePrivateCache();  // pruning of this engine's cache directory, by its clock
  void rememberLocked(const std::string& key, std::shared_ptr<const TranslationDict> dict)
      QY_REQUIRES(mutex_);
  void recordFailure(const std::string& key, const std::optional<Failure>& failure);
  void pruneLoop(std::stop_token stop, std::chrono::milliseconds delay);
  void log(std::string_view line) const;
  Date now() const;

  Result skip(std::string_view reason, size_t size) const;
  Result darkOnly(std::string_view reason, size_t size, const class MessageBody& body,
                  const Config& cfg) const;

  const std::filesystem::path root_;
  const std::filesystem::path cacheDir_;
  const std::function<Config()> loadConfig_;
  const std::function<void(std::string_view)> log_;
  const std::shared_ptr<const Clock> clock_;
  const TranslateFunction translate_;
  const std::function<std::string(std::string_view, std::string_view)> servedTarget_;
  const Lifetime lifetime_;

  Mutex hookLock_;
  std::function<void()> reloadHook_ QY_GUARDED_BY(hookLock_);

  // Serialises this process's rewrites of failures.json (taken without mutex_).
  Mutex failureFileLock_;

  // The fields of every Job are guarded by mutex_ too.
  mutable Mutex mutex_;
  std::condition_variable cond_;
  std::unordered_map<std::string, std::shared_ptr<Job>> jobs_ QY_GUARDED_BY(mutex_);
  std::unordered_map<std::string, std::shared_ptr<const TranslationDict>> mem_
      QY_GUARDED_BY(mutex_);
  std::deque<std::string> memOrder_ QY_GUARDED_BY(mutex_);
  KeyRecords<Failure> failed_ QY_GUARDED_BY(mutex_);
  KeyRecords<int64_t> attempts_ QY_GUARDED_BY(mutex_);
  KeyRecords<bool> requested_ QY_GUARDED_BY(mutex_);
  KeyRecords<bool> wantsReload_ QY_GUARDED_BY(mutex_);
  std::deque<Date> reloadTimes_ QY_GUARDED_BY(mutex_);
  int64_t runningTasks_ QY_GUARDED_BY(mutex_) = 0;
  bool abandoned_ QY_GUARDED_BY(mutex_) = false;  // set once waitForJobs() gave up on the jobs
  Gate gate_;

  std::stop_source stop_;
  WorkerPool workers_;  // admitted jobs run here; declared late so it is destroyed first
  std::jthread pruner_;
};

}  // namespace qy
