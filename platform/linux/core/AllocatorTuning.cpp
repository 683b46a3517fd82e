#include "platform/linux/core/AllocatorTuning.h"

#include <malloc.h>

namespace kv {

void tuneAllocatorForLargeBuffers() {
  // Setting either value also turns off glibc's own adjustment of them.
  mallopt(M_MMAP_THRESHOLD, 16 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
}

}  // namespace kv
