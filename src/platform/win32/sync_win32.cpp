// Win32 backend of the auto-reset event.
#include <windows.h>

#include <atomic>

#include "platform/sync.h"

namespace tl::platform {
namespace {
std::atomic<int> g_fail_creates{0};
}  // namespace

void AutoResetEvent::FailNextCreates(int n) { g_fail_creates.store(n); }

bool AutoResetEvent::Create(bool signalled) {
  Close();
  int pending = g_fail_creates.load();
  while (pending > 0 && !g_fail_creates.compare_exchange_weak(pending, pending - 1)) {
  }
  if (pending > 0) return false;
  // Unnamed, default security, auto-reset.
  os_ = CreateEventW(nullptr, FALSE, signalled ? TRUE : FALSE, nullptr);
  return os_ != nullptr;
}

void AutoResetEvent::Wait() { WaitForSingleObject(static_cast<HANDLE>(os_), INFINITE); }

void AutoResetEvent::Set() { SetEvent(static_cast<HANDLE>(os_)); }

void AutoResetEvent::Close() {
  if (os_ != nullptr) CloseHandle(static_cast<HANDLE>(os_));
  os_ = nullptr;
}

}  // namespace tl::platform
