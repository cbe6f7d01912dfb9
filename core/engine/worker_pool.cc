// The worker threads of WorkerPool.
#include "core/engine/worker_pool.h"

namespace qy {

WorkerPool::WorkerPool(size_t threads) {
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool() {
  {
    MutexLock guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& thread : threads_) thread.join();
}

void WorkerPool::submit(std::function<void()> task) {
  {
    MutexLock guard(lock_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void WorkerPool::run() {
  for (;;) {
    std::function<void()> task;
    {
      MutexLock guard(lock_);
      // The predicate runs with lock_ held, which the analysis cannot see through the wait.
      guard.wait(wake_, [&]() QY_NO_THREAD_SAFETY_ANALYSIS { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;  // stopping, and nothing left to run
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace qy
