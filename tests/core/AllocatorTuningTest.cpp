// After tuning, buffers of a few MiB come from the allocator's arenas
// instead of fresh mappings (which start with page faults on every use).
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/linux/core/AllocatorTuning.h"

namespace kv {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kOwnAllocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kOwnAllocator = true;
#else
constexpr bool kOwnAllocator = false;
#endif
#else
constexpr bool kOwnAllocator = false;
#endif

// Whether a fresh allocation of `bytes` is served by a mapping of its own.
bool mappedOnItsOwn(std::size_t bytes) {
  const auto before = mallinfo2().hblkhd;
  void* block = std::malloc(bytes);
  std::memset(block, 1, bytes);
  asm volatile("" : : "r"(block) : "memory");  // the allocation must really happen
  const bool mapped = mallinfo2().hblkhd > before;
  std::free(block);
  return mapped;
}

TEST(AllocatorTuningTest, BuffersOfAFewMebibytesComeFromTheArenas) {
  if (kOwnAllocator) GTEST_SKIP() << "the sanitizer's allocator ignores glibc's settings";
  // In a child process, from glibc's default threshold (this process may
  // have raised its own already).
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    if (!mappedOnItsOwn(8 << 20)) _exit(2);
    tuneAllocatorForLargeBuffers();
    if (mappedOnItsOwn(8 << 20)) _exit(3);
    if (!mappedOnItsOwn(32 << 20)) _exit(4);  // really large ones still are
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: default not mapped, 3: tuned still mapped, 4: 32 MiB not mapped";
}

}  // namespace
}  // namespace kv
