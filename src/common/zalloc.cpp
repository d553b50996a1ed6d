#include "common/zalloc.h"

#include <atomic>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tl {
namespace {
std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_fail_at{0};  // absolute call number that fails; 0 = never
std::atomic<bool> g_fail_on{false};  // every call from g_fail_at on fails

}  // namespace

void AdviseLargeBuffer(void* p, size_t len) {
  if (p == nullptr || len < kLargeBuffer) return;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kPage = 4096;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + len) & ~(kPage - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
  (void)p;
  (void)len;
#endif
}

void* ZeroAlloc(size_t content) {
  const uint64_t call = g_calls.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t fail_at = g_fail_at.load(std::memory_order_relaxed);
  if (fail_at != 0 && (call == fail_at || (call > fail_at && g_fail_on.load()))) return nullptr;
  if (content > SIZE_MAX - kSpareBytes) return nullptr;
  void* p = std::calloc(1, content + kSpareBytes);
  AdviseLargeBuffer(p, content + kSpareBytes);
  return p;
}

void ZeroFree(void* p) { std::free(p); }

void SetAllocFailureAt(uint64_t n, bool persistent) {
  g_fail_on.store(persistent);
  g_fail_at.store(n == 0 ? 0 : g_calls.load() + n, std::memory_order_relaxed);
}

uint64_t AllocCallCount() { return g_calls.load(std::memory_order_relaxed); }

}  // namespace tl
