// Allocator settings for a long-lived process that handles whole messages: every request of the
// service allocates and frees buffers of megabytes (a message, its Base64, its frame). glibc
// hands such buffers out as fresh mappings and returns them at once, so each request pays page
// faults and zeroing for all of them. keepMessageBuffersMapped() raises the mapping threshold
// and the trim threshold so freed buffers are reused; the heap then keeps at most
// kRetainedFreeBytes beyond what is in use. Call once at start, before threads.
#pragma once

#include <cstddef>

namespace qy::platform {

// Allocations below this come from the heap and are reused: a frame is at most 64 MiB.
inline constexpr size_t kHeapAllocationLimit = size_t{80} << 20;
// Free memory the heap keeps for the next requests instead of returning it to the system.
inline constexpr size_t kRetainedFreeBytes = size_t{128} << 20;

void keepMessageBuffersMapped();

}  // namespace qy::platform
