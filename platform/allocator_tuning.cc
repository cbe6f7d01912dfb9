// glibc's mallopt settings for the service.
#include "platform/allocator_tuning.h"

#include <malloc.h>

namespace qy::platform {

void keepMessageBuffersMapped() {
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kHeapAllocationLimit));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(kRetainedFreeBytes));
}

}  // namespace qy::platform
