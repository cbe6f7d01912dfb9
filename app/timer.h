// Timer: runs a task once a delay has passed. The settings model's delayed save goes through it,
// so tests move time by hand instead of sleeping.
//
// ThreadTimer runs its tasks one after another on a thread of its own, in order of their due
// time; destroying it drops the tasks not yet due and joins the thread (a task running then is
// finished first). Any thread may call after().
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <thread>

#include "core/base/thread_annotations.h"

namespace qy::app {

class Timer {
 public:
  virtual ~Timer() = default;
  virtual void after(std::chrono::nanoseconds delay, std::function<void()> task) = 0;
};

class ThreadTimer final : public Timer {
 public:
  ThreadTimer();
  ~ThreadTimer() override;
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;

  void after(std::chrono::nanoseconds delay, std::function<void()> task) override QY_EXCLUDES(mutex_);

 private:
  using Due = std::chrono::steady_clock::time_point;
  void run() QY_EXCLUDES(mutex_);

  Mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Due, std::function<void()>> tasks_ QY_GUARDED_BY(mutex_);
  bool stopping_ QY_GUARDED_BY(mutex_) = false;
  std::thread thread_;  // last: starts once the fields above exist
};

}  // namespace qy::app
