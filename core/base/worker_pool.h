// WorkerPool: the one way to run background work. A named, bounded set of threads runs submitted
// tasks in submission order; `capacity` bounds the tasks queued and running together, so a caller
// that produces work faster than it ends (a host flooding the service with requests) is told to
// wait instead of growing a queue or a thread count without end.
//
// Threads are started as work arrives, up to `threads` (`eager` starts them all at once, for an
// owner that must never find itself without one). A thread that cannot be started (a task limit:
// systemd's TasksMax, `ulimit -u`) is no failure while another runs the queue; with none at all
// submit() refuses the task. A task that throws is caught and reported to `onError`; the thread
// goes on with the next task. The destructor runs what is queued, then joins the threads.
//
// Threads: submit() and the queries may be called from any thread, including from inside a task.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/base/thread_annotations.h"

namespace qy {

class WorkerPool {
 public:
  struct Options {
    std::string name;                                        // for messages about the pool
    size_t threads = 1;                                      // threads at most
    size_t capacity = std::numeric_limits<size_t>::max();    // tasks queued and running at most
    bool eager = false;                                      // start every thread at once
    std::function<void(std::string_view what)> onError;      // a task threw (empty: ignored)
  };

  explicit WorkerPool(Options options);
  explicit WorkerPool(size_t threads)
      : WorkerPool(Options{.name = "workers",
                           .threads = threads,
                           .capacity = std::numeric_limits<size_t>::max(),
                           .eager = true,
                           .onError = {}}) {}
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `task`; false (and the task dropped) when the pool is at its capacity or has no thread
  // and cannot start one.
  bool submit(std::function<void()> task);
  // Whether submit() would take a task now (at capacity it would not).
  bool hasRoom() const;
  // Tasks queued or running.
  size_t pending() const;
  // Threads running now.
  size_t threads() const;
  // Waits until no task is queued or running, at most until `deadline`; whether none is.
  bool waitIdle(std::chrono::steady_clock::time_point deadline);
  const std::string& name() const { return options_.name; }

 private:
  // Starts one more thread; false when the system refuses.
  bool startThread() QY_REQUIRES(lock_);
  void run();

  const Options options_;
  mutable Mutex lock_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> tasks_ QY_GUARDED_BY(lock_);
  size_t running_ QY_GUARDED_BY(lock_) = 0;
  size_t waiting_ QY_GUARDED_BY(lock_) = 0;  // threads waiting for a task
  bool stopping_ QY_GUARDED_BY(lock_) = false;
  std::vector<std::thread> threads_ QY_GUARDED_BY(lock_);
};

}  // namespace qy
