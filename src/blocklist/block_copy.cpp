#include "blocklist/block_copy.h"

#include <atomic>
#include <cstring>

#include "common/zalloc.h"
#include "platform/system.h"

namespace tl {

namespace {
constexpr uint32_t kPageSize = 4096;
std::atomic<uint64_t> g_probes{0};
}  // namespace

uint64_t ProbeCallCount() { return g_probes.load(std::memory_order_relaxed); }

bool ProbeReadable(const void* p, uint32_t len) {
  g_probes.fetch_add(1, std::memory_order_relaxed);
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  // Unsigned 32-bit arithmetic on purpose: the page count of the range.
  const uint32_t span =
      (static_cast<uint32_t>(address % kPageSize) + len + (kPageSize - 1)) & ~(kPageSize - 1);
  const uint32_t pages = span / kPageSize;
  if (pages == 0) return true;
  const uintptr_t first = address & ~static_cast<uintptr_t>(7);
  // The 4-byte tests at first + k * 4096, k < pages, asked as one range: the
  // platform answers for whole regions at once where it can.
  const uint64_t reach = uint64_t{pages - 1} * kPageSize + 4;
  if (first + reach < first) return false;  // would run past the end of the address space
  if (!platform::IsReadableRange(reinterpret_cast<const void*>(first), reach)) return false;
  return true;
}

uint32_t ProbeReadableExtent(const void* p, uint32_t max) {
  g_probes.fetch_add(1, std::memory_order_relaxed);
  // Readability ends only at a page boundary, so the bytes readable from p are
  // exactly the lengths a ProbeReadable would pass (its tests of 4 bytes at
  // 8-aligned addresses never cross a page).
  const size_t bytes = platform::ReadableBytes(p, max);
  return static_cast<uint32_t>(bytes < max ? bytes : max);
}

void* BlockCopy(const void* source, uint32_t len) {
  if (!ProbeReadable(source, len)) return nullptr;
  return CopyOwnBlock(source, len);
}

void* CopyOwnBlock(const void* source, uint32_t len) {
  void* copy = ZeroAlloc(len);  // len + kSpareBytes zero bytes
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, source, len);
  return copy;
}

}  // namespace tl
