// Translation jobs and the two caches: the in-memory cache of 60 keys and the cache files.
#include <algorithm>
#include <chrono>

#include "core/base/process_ending.h"
#include "core/config/paths.h"
#include "core/engine/engine.h"
#include "core/engine/engine_report.h"
#include "core/translate/translator.h"

namespace qy {

namespace {
constexpr size_t kMemoryKeys = 60;
}  // namespace

std::shared_ptr<const TranslationDict> Engine::cachedShared(const std::string& key) {
  {
    // The lock covers the lookup only; the dictionary is shared, never copied under it.
    MutexLock guard(mutex_);
    if (auto it = mem_.find(key); it != mem_.end()) return it->second;
  }
  auto dict = CacheFiles::read(cacheDir_, key);
  if (!dict) return std::make_shared<const TranslationDict>();
  auto shared = std::make_shared<const TranslationDict>(std::move(*dict));
  MutexLock guard(mutex_);
  rememberLocked(key, shared);
  return shared;
}

TranslationDict Engine::cached(const std::string& key) { return *cachedShared(key); }

void Engine::remember(const std::string& key, TranslationDict dict) {
  auto shared = std::make_shared<const TranslationDict>(std::move(dict));
  MutexLock guard(mutex_);
  rememberLocked(key, std::move(shared));
}

void Engine::rememberLocked(const std::string& key, std::shared_ptr<const TranslationDict> dict) {
  mem_[key] = std::move(dict);
  for (auto it = memOrder_.begin(); it != memOrder_.end();) {
    it = (*it == key) ? memOrder_.erase(it) : it + 1;
  }
  memOrder_.push_back(key);
  while (memOrder_.size() > kMemoryKeys) {
    mem_.erase(memOrder_.front());
    memOrder_.pop_front();
  }
}

void Engine::store(const std::string& key, const TranslationDict& dict) {
  remember(key, dict);
  Paths::ensureDirectory(cacheDir_);
  CacheFiles::write(cacheDir_, key, dict);  // a failed write leaves the old file whole
}

std::shared_ptr<Engine::Job> Engine::startJob(const std::string& key,
                                              std::vector<std::string> texts, const Config& cfg) {
  auto job = std::make_shared<Job>();
  jobs_[key] = job;
  attempts_.put(key) += 1;
  runningTasks_ += 1;
  // The continuation may run at once, inside enter() and so under mutex_: it only queues the
  // work, which takes the lock itself when it delivers.
  gate_.enter([this, job, key, texts = std::move(texts), cfg]() mutable {
    workers_.submit([this, job = std::move(job), key = std::move(key), texts = std::move(texts),
                     cfg = std::move(cfg)]() mutable {
      runJob(std::move(job), std::move(key), std::move(texts), std::move(cfg));
    });
  });
  return job;
}

void Engine::runJob(std::shared_ptr<Job> job, std::string key, std::vector<std::string> texts,
                    Config cfg) {
  auto deliver = [this, &job](const TranslationDict& part) {
    MutexLock guard(mutex_);
    for (const auto& [source, translation] : part) job->tr[source] = translation;
    cond_.notify_all();
  };
  std::vector<std::string> errors;
  try {
    errors = translate_(texts, cfg, deliver, stop_.get_token());
  } catch (const std::exception& error) {
    errors = {std::string("系统翻译出错：") + error.what()};
  } catch (...) {
    errors = {"系统翻译出错：未知错误"};
  }
  gate_.leave();
  finish(key, job, texts, std::move(errors), cfg);
  MutexLock guard(mutex_);
  runningTasks_ -= 1;
  cond_.notify_all();
}

void Engine::finish(const std::string& key, const std::shared_ptr<Job>& job,
                    const std::vector<std::string>& texts, std::vector<std::string> errors,
                    const Config& cfg) {
  // A run told to stop returns early, possibly without an error: the texts it left out were
  // not translated, and must neither be cached as done nor pause the key for a later process.
  const bool stopped = stop_.stop_requested();
  TranslationDict finished;
  bool wanted = false;
  bool abandoned = false;
  bool interrupted = false;
  std::optional<std::optional<Failure>> fileChange;  // set: failures.json is to be updated
  {
    MutexLock guard(mutex_);
    abandoned = abandoned_;
    interrupted = stopped && std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
                    return job->tr.count(text) == 0;
                  });
    // Nor does a run whose engine died because the process is ending (a mail filter told to
    // stop ends its own engines): that is no failure of the engine.
    if (ProcessEnding::marked()) interrupted = true;
    if (interrupted &&
        std::find(errors.begin(), errors.end(), Translator::kStoppedError) == errors.end())
      errors.push_back(std::string(Translator::kStoppedError));
    job->errors = errors;
    if (interrupted || abandoned) {
      // Nothing to record: the engine is going away, and this was no verdict on the key.
    } else if (!errors.empty()) {
      Failure failure{now(), errors};
      failed_.put(key) = failure;
      fileChange.emplace(std::move(failure));
    } else {
      // A job without errors answers for every text: those it got nothing for are marked with
      // an empty translation, so they count as done and are not sent again.
      for (const auto& text : texts) job->tr.try_emplace(text);
      if (failed_.erase(key)) fileChange.emplace(std::nullopt);
    }
    job->finished = true;
    finished = job->tr;
    wanted = wantsReload_.erase(key);
    cond_.notify_all();
  }
  if (fileChange) recordFailure(key, *fileChange);
  if (!finished.empty() && !abandoned) {
    TranslationDict merged = cached(key);
    for (auto& [source, translation] : finished) merged[source] = translation;
    store(key, merged);
  }
  {
    // The job leaves `jobs` only once its translations are stored: a display in between joins
    // the finished job and sees them, instead of finding neither and starting another job.
    MutexLock guard(mutex_);
    if (auto it = jobs_.find(key); it != jobs_.end() && it->second == job) jobs_.erase(it);
  }
  const char* ending = abandoned ? " abandoned (nothing cached): "
                       : interrupted ? " stopped: "
                                     : " finished: ";
  log("job " + key.substr(0, 8) + ending + std::to_string(finished.size()) + "/" +
      std::to_string(texts.size()) + " segments, errors=" + EngineReport::listLiteral(errors));
  if (wanted && cfg.autoReload && !abandoned && !interrupted) requestReload("translation finished");
}

void Engine::recordFailure(const std::string& key, const std::optional<Failure>& failure) {
  MutexLock guard(failureFileLock_);
  FailureFile::update(FailureFile::pathIn(root_), key, failure, now(), kFailurePause);
}

bool Engine::waitForJobs(std::optional<std::chrono::milliseconds> bound) {
  {
    MutexLock guard(mutex_);
    auto idle = [&]() QY_NO_THREAD_SAFETY_ANALYSIS { return runningTasks_ == 0; };
    if (!bound) {
      guard.wait(cond_, idle);
      return true;
    }
    if (guard.waitUntil(cond_, std::chrono::steady_clock::now() + *bound, idle)) return true;
    abandoned_ = true;
  }
  stop_.request_stop();  // outside the lock: stop callbacks may run here
  return false;
}

}  // namespace qy
