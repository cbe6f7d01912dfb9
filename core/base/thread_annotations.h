// Thread-safety annotations, checked by clang's -Wthread-safety (the clang build turns it on) and
// ignored by other compilers; after leveldb's port/thread_annotations.h.
//
// Mutex is a std::mutex that clang can reason about: fields say which lock guards them
// (QY_GUARDED_BY(mutex_)), functions say which lock they need (QY_REQUIRES(mutex_)) or must not
// hold (QY_EXCLUDES(mutex_)). MutexLock holds a Mutex for a scope and is what condition waits use.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QY_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QY_THREAD_ANNOTATION(x)
#endif

#define QY_CAPABILITY(x) QY_THREAD_ANNOTATION(capability(x))
#define QY_SCOPED_CAPABILITY QY_THREAD_ANNOTATION(scoped_lockable)
#define QY_GUARDED_BY(x) QY_THREAD_ANNOTATION(guarded_by(x))
#define QY_PT_GUARDED_BY(x) QY_THREAD_ANNOTATION(pt_guarded_by(x))
#define QY_REQUIRES(...) QY_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QY_EXCLUDES(...) QY_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QY_ACQUIRE(...) QY_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QY_RELEASE(...) QY_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QY_TRY_ACQUIRE(...) QY_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QY_RETURN_CAPABILITY(x) QY_THREAD_ANNOTATION(lock_returned(x))
#define QY_NO_THREAD_SAFETY_ANALYSIS QY_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qy {

class QY_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() QY_ACQUIRE() { mutex_.lock(); }
  void unlock() QY_RELEASE() { mutex_.unlock(); }
  bool try_lock() QY_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds `mutex` from construction to destruction. The waits release it while they block and hold
// it again when they return; a predicate runs with it held.
class QY_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) QY_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() QY_RELEASE() = default;
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void wait(std::condition_variable& cond) { cond.wait(lock_); }
  template <typename Predicate>
  void wait(std::condition_variable& cond, Predicate ready) {
    cond.wait(lock_, ready);
  }
  template <typename TimePoint, typename Predicate>
  bool waitUntil(std::condition_variable& cond, const TimePoint& deadline, Predicate ready) {
    return cond.wait_until(lock_, deadline, ready);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace qy
