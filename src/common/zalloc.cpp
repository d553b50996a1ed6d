#include "common/zalloc.h"

#include <atomic>
#include <cstdlib>

namespace tl {
namespace {
std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_fail_at{0};  // absolute call number that fails; 0 = never
std::atomic<bool> g_fail_on{false};  // every call from g_fail_at on fails
}  // namespace

void* ZeroAlloc(size_t content) {
  const uint64_t call = g_calls.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t fail_at = g_fail_at.load(std::memory_order_relaxed);
  if (fail_at != 0 && (call == fail_at || (call > fail_at && g_fail_on.load()))) return nullptr;
  if (content > SIZE_MAX - kSpareBytes) return nullptr;
  return std::calloc(1, content + kSpareBytes);
}

void ZeroFree(void* p) { std::free(p); }

void SetAllocFailureAt(uint64_t n, bool persistent) {
  g_fail_on.store(persistent);
  g_fail_at.store(n == 0 ? 0 : g_calls.load() + n, std::memory_order_relaxed);
}

uint64_t AllocCallCount() { return g_calls.load(std::memory_order_relaxed); }

}  // namespace tl
