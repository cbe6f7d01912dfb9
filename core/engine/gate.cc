// The admission gate's hand-off and the per-thread trampoline that keeps leave() from nesting.
#include "core/engine/gate.h"

#include <utility>

namespace qy {
namespace {

// Continuations admitted by leave() calls on this thread while an outer leave() is running
// them; the outer call runs them in order, so admitted work never nests on the stack.
struct Trampoline {
  bool running = false;
  std::deque<std::function<void()>> pending;
};
thread_local Trampoline trampoline;

}  // namespace

Gate::Gate(int64_t capacity) : free_(capacity) {}

void Gate::enter(std::function<void()> continuation) {
  {
    MutexLock lock(mutex_);
    if (free_ <= 0 || !waiters_.empty()) {
      waiters_.push_back(std::move(continuation));
      return;
    }
    --free_;
  }
  if (continuation) continuation();
}

void Gate::leave() {
  std::function<void()> admitted;
  {
    MutexLock lock(mutex_);
    if (waiters_.empty()) {
      ++free_;
      return;
    }
    // The place passes straight to the oldest waiter; free_ stays as it is.
    admitted = std::move(waiters_.front());
    waiters_.pop_front();
  }
  if (trampoline.running) {
    trampoline.pending.push_back(std::move(admitted));
    return;
  }
  struct Running {
    Running() { trampoline.running = true; }
    ~Running() { trampoline.running = false; }
  } running;
  trampoline.pending.push_back(std::move(admitted));
  while (!trampoline.pending.empty()) {
    std::function<void()> next = std::move(trampoline.pending.front());
    trampoline.pending.pop_front();
    if (next) next();
  }
}

int64_t Gate::freePlaces() const {
  MutexLock lock(mutex_);
  return free_;
}

size_t Gate::waiting() const {
  MutexLock lock(mutex_);
  return waiters_.size();
}

}  // namespace qy
