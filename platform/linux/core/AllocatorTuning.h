#pragma once
// Keeps glibc's allocator from handing large buffers back to the kernel
// after every use.
//
// Copies move their bytes in buffers of about 1 MiB, allocated and freed for
// every chunk on several threads. With glibc's defaults such a buffer comes
// from a fresh mapping, or from a thread's arena that is trimmed again when
// it is freed, so every chunk starts with page faults on zeroed pages; in a
// virtual machine that costs more than the copy and the digest together.
// Raising the mapping threshold to 16 MiB and the trim threshold to 64 MiB
// lets the arenas keep a few buffers' worth of memory for reuse.
//
// Call once at the start of a process that runs copies or verifications,
// before other threads start. Idempotent.

namespace kv {

void tuneAllocatorForLargeBuffers();

}  // namespace kv
