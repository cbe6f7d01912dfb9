// Gate: the admission gate in front of the translation service. A counting semaphore with
// first-come, first-served hand-off whose waiters hold no thread: a caller hands enter() the
// continuation to run once it holds a place, and gives the place back with leave() when its
// work is done (exactly one leave() per admitted continuation).
//
// Threads: enter() and leave() may be called from any thread; the gate's state is guarded by
// its own mutex, never held while a continuation runs.
// - enter() runs the continuation at once, on the calling thread, when a place is free.
// - Otherwise the continuation is queued and later runs on the thread that calls the leave()
//   handing it the place, inside that leave() call (after the gate's lock is released). A
//   continuation that itself calls leave() on that thread does not nest: the next waiter it
//   admits runs after it returns, in the same outer leave(). Continuations should therefore be
//   short, or post their work to an executor.
// The place passes from the leaving caller straight to the oldest waiter, so a newcomer that
// calls enter() after that leave() queues behind the others.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include "core/base/thread_annotations.h"

namespace qy {

class Gate {
 public:
  explicit Gate(int64_t capacity);
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // Runs `continuation` once the caller holds a place (see above for the thread).
  void enter(std::function<void()> continuation);
  // Gives a place back: to the oldest waiter, or to `free` when nobody waits (not capped).
  void leave();

  int64_t freePlaces() const;
  size_t waiting() const;

 private:
  mutable Mutex mutex_;
  int64_t free_ QY_GUARDED_BY(mutex_);
  std::deque<std::function<void()>> waiters_ QY_GUARDED_BY(mutex_);  // non-empty only if free_ <= 0
};

}  // namespace qy
