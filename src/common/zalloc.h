// The one allocation helper for records, blocks and buffers: zero-filled, with
// kSpareBytes zero bytes behind the content, from the C runtime heap (so a block
// handed to the list can be released with free()). Never throws; null on failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tl {

inline constexpr size_t kSpareBytes = 32;

// Allocates content + kSpareBytes zeroed bytes; null when the memory cannot be had
// (or the test hook says so). Release with ZeroFree (or free()).
void* ZeroAlloc(size_t content);
void ZeroFree(void* p);

// From this size on a buffer is a payload, a container read whole or a table
// of a whole list: written once from end to end, soon after it is had.
inline constexpr size_t kLargeBuffer = size_t{4} << 20;

// Asks for a large buffer's memory (`len` >= kLargeBuffer; smaller ones are
// left alone) in 2 MiB pages where the system gives them (Linux's transparent
// huge pages in "madvise" mode): a fresh buffer then costs one page fault per
// 2 MiB instead of one per 4 KiB, and on a virtual machine each fault is
// dear. Only a hint: the system may decline, and nothing else changes.
// ZeroAlloc gives it for its large buffers.
void AdviseLargeBuffer(void* p, size_t len);

// Test hook: the n-th ZeroAlloc call from now (1-based) fails, and with
// `persistent` every later one too; 0 disarms it. Process-wide and
// thread-safe; tests that use it must not run allocations of their own
// concurrently.
void SetAllocFailureAt(uint64_t n, bool persistent = false);
// Test hook: the number of ZeroAlloc calls made since the process started.
uint64_t AllocCallCount();

}  // namespace tl
