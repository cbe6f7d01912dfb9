// The worker threads of WorkerPool.
#include "core/engine/worker_pool.h"

namespace qy {

WorkerPool::WorkerPool(size_t threads) {
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& thread : threads_) thread.join();
}

void WorkerPool::submit(std::function<void()> task) {
  {
    std::lock_guard guard(lock_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void WorkerPool::run() {
  std::unique_lock guard(lock_);
  for (;;) {
    wake_.wait(guard, [&] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) return;  // stopping, and nothing left to run
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    guard.unlock();
    task();
    guard.lock();
  }
}

}  // namespace qy
