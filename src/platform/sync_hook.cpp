// The creation failure hook of the event, shared by both backends.
#include <atomic>

#include "platform/sync.h"

namespace tl::platform {
namespace {
std::atomic<int> g_fail_creates{0};
}  // namespace

void AutoResetEvent::FailNextCreates(int n) { g_fail_creates.store(n); }

bool AutoResetEvent::TakeInjectedFailure() {
  int pending = g_fail_creates.load();
  while (pending > 0 && !g_fail_creates.compare_exchange_weak(pending, pending - 1)) {
  }
  return pending > 0;
}

}  // namespace tl::platform
