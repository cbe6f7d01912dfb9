// The worker threads of WorkerPool.
#include "core/base/worker_pool.h"

#include <exception>
#include <system_error>

namespace qy {

WorkerPool::WorkerPool(Options options) : options_(std::move(options)) {
  if (!options_.eager) return;
  MutexLock guard(lock_);
  while (threads_.size() < options_.threads && startThread()) {
  }
}

WorkerPool::~WorkerPool() {
  std::vector<std::thread> threads;
  {
    MutexLock guard(lock_);
    stopping_ = true;
    threads = std::move(threads_);
  }
  wake_.notify_all();
  for (auto& thread : threads) thread.join();
}

bool WorkerPool::startThread() {
  try {
    threads_.emplace_back([this] { run(); });
    return true;
  } catch (const std::system_error&) {
    return false;  // out of threads: the ones running take the work
  }
}

bool WorkerPool::submit(std::function<void()> task) {
  {
    MutexLock guard(lock_);
    if (stopping_ || tasks_.size() + running_ >= options_.capacity) return false;
    if (waiting_ <= tasks_.size() && threads_.size() < options_.threads) startThread();
    if (threads_.empty()) return false;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
  return true;
}

bool WorkerPool::hasRoom() const {
  MutexLock guard(lock_);
  return !stopping_ && tasks_.size() + running_ < options_.capacity;
}

size_t WorkerPool::pending() const {
  MutexLock guard(lock_);
  return tasks_.size() + running_;
}

size_t WorkerPool::threads() const {
  MutexLock guard(lock_);
  return threads_.size();
}

bool WorkerPool::waitIdle(std::chrono::steady_clock::time_point deadline) {
  MutexLock guard(lock_);
  return guard.waitUntil(idle_, deadline, [&]() QY_REQUIRES(lock_) {
    return tasks_.empty() && running_ == 0;
  });
}

void WorkerPool::run() {
  for (;;) {
    std::function<void()> task;
    {
      MutexLock guard(lock_);
      ++waiting_;
      // The predicate runs with lock_ held, which the analysis cannot see through the wait.
      guard.wait(wake_, [&]() QY_NO_THREAD_SAFETY_ANALYSIS { return stopping_ || !tasks_.empty(); });
      --waiting_;
      if (tasks_.empty()) return;  // stopping, and nothing left to run
      task = std::move(tasks_.front());
      tasks_.pop_front();
      ++running_;
    }
    try {
      task();
    } catch (const std::exception& error) {
      if (options_.onError) options_.onError(error.what());
    } catch (...) {
      if (options_.onError) options_.onError("an unknown exception");
    }
    MutexLock guard(lock_);
    --running_;
    if (tasks_.empty() && running_ == 0) idle_.notify_all();
  }
}

}  // namespace qy
