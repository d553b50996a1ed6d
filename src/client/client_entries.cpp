#include "client/client_entries.h"

namespace tl::client {

namespace {

HMODULE g_client_module = nullptr;
FARPROC g_client_entries[kClientEntryCount] = {};

}  // namespace

int32_t LoadClientEntries(HMODULE module) {
  g_client_module = module;
  if (module == nullptr) return 0;
  for (size_t i = 0; i < kClientEntryCount; ++i) {
    g_client_entries[i] = GetProcAddress(module, MAKEINTRESOURCEA(kClientOrdinals[i]));
  }
  return 1;
}

void NotifyClientChange() {
  FARPROC entry = g_client_entries[kChangeNotificationIndex];
  if (entry == nullptr) return;
  reinterpret_cast<ChangeNotificationFn>(reinterpret_cast<void*>(entry))();
}

void ReleaseClientEntries() {
  for (FARPROC& entry : g_client_entries) entry = nullptr;
  if (g_client_module != nullptr) FreeLibrary(g_client_module);
  g_client_module = nullptr;
}

HMODULE ClientModuleHandle() { return g_client_module; }

FARPROC ClientEntry(size_t index) {
  return index < kClientEntryCount ? g_client_entries[index] : nullptr;
}

}  // namespace tl::client
