// Failure bookkeeping, the user's requests and retries, and reload throttling.
#include <algorithm>

#include "core/engine/engine.h"

namespace qy {

namespace {
constexpr size_t kReloadsPerWindow = 12;
constexpr auto kReloadWindow = std::chrono::seconds(60);
}  // namespace

void Engine::requestReload(std::string_view reason) {
  bool pass = false;
  {
    MutexLock guard(mutex_);
    const Date current = now();
    std::erase_if(reloadTimes_, [&](Date at) { return current - at > kReloadWindow; });
    if (reloadTimes_.size() < kReloadsPerWindow) {
      reloadTimes_.push_back(current);
      pass = true;
    }
  }
  if (!pass) {
    log("reload suppressed (too many in the last minute): " + std::string(reason));
    return;
  }
  log("asking Mail to reload: " + std::string(reason));
  std::function<void()> hook;
  {
    MutexLock guard(hookLock_);
    hook = reloadHook_;
  }
  if (hook) hook();  // outside every lock: the hook may call back into the engine
}

void Engine::request(const std::string& fingerprint) {
  MutexLock guard(mutex_);
  requested_.put(fingerprint) = true;
}

void Engine::retry(const std::string& key) {
  bool hadFailure;
  {
    MutexLock guard(mutex_);
    hadFailure = failed_.erase(key);
    // No attempts is the same as none recorded: only keys with attempts take a record.
    attempts_.erase(key);
  }
  if (hadFailure) recordFailure(key, std::nullopt);
}

void Engine::forget(const std::string& key) {
  bool hadFailure;
  {
    MutexLock guard(mutex_);
    mem_.erase(key);
    std::erase(memOrder_, key);
    hadFailure = failed_.erase(key);
    attempts_.erase(key);
  }
  if (hadFailure) recordFailure(key, std::nullopt);
  CacheFiles::remove(cacheDir_, key);
}

void Engine::setReloadHook(std::function<void()> hook) {
  MutexLock guard(hookLock_);
  reloadHook_ = std::move(hook);
}

int64_t Engine::attemptsFor(const std::string& key) const {
  MutexLock guard(mutex_);
  const int64_t* attempts = attempts_.find(key);
  return attempts ? *attempts : 0;
}

bool Engine::hasFailure(const std::string& key) const {
  MutexLock guard(mutex_);
  return failed_.contains(key);
}

bool Engine::wantsReloadFor(const std::string& key) const {
  MutexLock guard(mutex_);
  return wantsReload_.contains(key);
}

bool Engine::hasJob(const std::string& key) const {
  MutexLock guard(mutex_);
  return jobs_.count(key) > 0;
}

std::vector<std::string> Engine::memoryKeys() const {
  MutexLock guard(mutex_);
  return {memOrder_.begin(), memOrder_.end()};
}

}  // namespace qy
