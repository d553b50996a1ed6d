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

// Test hook: the n-th ZeroAlloc call from now (1-based) fails, and with
// `persistent` every later one too; 0 disarms it. Process-wide and
// thread-safe; tests that use it must not run allocations of their own
// concurrently.
void SetAllocFailureAt(uint64_t n, bool persistent = false);
// Test hook: the number of ZeroAlloc calls made since the process started.
uint64_t AllocCallCount();

}  // namespace tl
