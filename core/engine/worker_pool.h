// WorkerPool: a fixed set of threads running submitted tasks in submission order. The engine
// hands admitted translation jobs to it, so admitting a job never has to create a thread (and
// cannot fail for lack of one). The destructor runs what is queued, then joins the threads.
// submit() may be called from any thread, including from inside a task.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "core/base/thread_annotations.h"

namespace qy {

class WorkerPool {
 public:
  explicit WorkerPool(size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void submit(std::function<void()> task);

 private:
  void run();

  Mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_ QY_GUARDED_BY(lock_);
  bool stopping_ QY_GUARDED_BY(lock_) = false;
  std::vector<std::thread> threads_;
};

}  // namespace qy
