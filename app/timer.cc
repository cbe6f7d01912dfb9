// ThreadTimer: one thread waiting for the earliest due task; see timer.h.
#include "app/timer.h"

#include <utility>

namespace qy::app {

ThreadTimer::ThreadTimer() : thread_([this] { run(); }) {}

ThreadTimer::~ThreadTimer() {
  {
    MutexLock hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void ThreadTimer::after(std::chrono::nanoseconds delay, std::function<void()> task) {
  {
    MutexLock hold(mutex_);
    tasks_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
  }
  wake_.notify_all();
}

void ThreadTimer::run() {
  for (;;) {
    std::function<void()> task;
    {
      MutexLock hold(mutex_);
      for (;;) {
        if (stopping_) return;
        if (tasks_.empty()) {
          hold.wait(wake_);
          continue;
        }
        const Due due = tasks_.begin()->first;
        if (std::chrono::steady_clock::now() >= due) break;
        hold.waitUntil(wake_, due, [&]() QY_NO_THREAD_SAFETY_ANALYSIS {
          return stopping_ || tasks_.empty() || tasks_.begin()->first < due;
        });
      }
      task = std::move(tasks_.begin()->second);
      tasks_.erase(tasks_.begin());
    }
    // Run without the lock, so a task may schedule another.
    task();
  }
}

}  // namespace qy::app
