// The library entry function: what attach sets up before any entry point runs.
#include <windows.h>

#include <cstdlib>

#include "entry/win32/library_state.h"
#include "minifile/key_generator.h"

namespace {

// Standard-library calls that meet an invalid argument (a null path given to
// a file open, a string too long for a bounded copy) then fail with their
// error result instead of ending the host process.
void IgnoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                            uintptr_t) {}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  _set_invalid_parameter_handler(IgnoreInvalidParameter);
  // No code of this library runs when threads start or end.
  if (instance != nullptr) DisableThreadLibraryCalls(instance);
  // New container headers draw their key bytes from this generator.
  const DWORD pid = GetCurrentProcessId();
  srand(pid);
  tl::SeedKeyGenerator(pid);
  tl::entry::SetHostModuleHandle(instance);
  return TRUE;
}
