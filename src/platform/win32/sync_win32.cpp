// Win32 backend of the auto-reset event.
#include <windows.h>

#include "platform/sync.h"

namespace tl::platform {
bool AutoResetEvent::Create(bool signalled) {
  Close();
  if (TakeInjectedFailure()) return false;
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
