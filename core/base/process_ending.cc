// The process-wide "ending" mark: one lock-free atomic, so that a signal handler may set it.
#include "core/base/process_ending.h"

#include <atomic>

namespace qy::ProcessEnding {
namespace {

std::atomic<bool> ending{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from signal handlers");

}  // namespace

void mark() noexcept { ending.store(true); }

bool marked() noexcept { return ending.load(); }

}  // namespace qy::ProcessEnding
