// The reference client library VeltrixClt.dll. The trust list library loads it
// after every commit, resolves its 19 entries by ordinal and calls ordinal 16,
// the change notification, then unloads it again.
//
// Its own working is small but observable from outside the process:
// - every attach, notification and detach appends one line "<event> <pid> <path>"
//   (UTF-8, CRLF) to the file named by the environment variable VELTRIXCLT_LOG,
//   when that variable is set; <path> is this module's own file path, so a reader
//   can tell which copy of the client was loaded;
// - ordinal 10 returns the number of notifications since this copy was loaded.
// The entries that the trust list library never calls answer "not supported" (0).
#include <windows.h>

#include <cstdint>

namespace {

HMODULE g_self = nullptr;
volatile LONG g_notifications = 0;

constexpr uint32_t kInterfaceVersion = 1;

// Appends "<event> <pid> <own path>\r\n" to %VELTRIXCLT_LOG%. Best effort: a
// missing variable or an unwritable file only loses the line.
void AppendLogLine(const char* event) {
  wchar_t log_path[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"VELTRIXCLT_LOG", log_path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;

  wchar_t self_path[MAX_PATH];
  DWORD self_len = GetModuleFileNameW(g_self, self_path, MAX_PATH);
  if (self_len == 0 || self_len >= MAX_PATH) self_len = 0;

  char line[3 * MAX_PATH + 64];
  int pos = 0;
  for (const char* p = event; *p != '\0'; ++p) line[pos++] = *p;
  line[pos++] = ' ';
  char digits[16];
  int nd = 0;
  DWORD pid = GetCurrentProcessId();
  do {
    digits[nd++] = static_cast<char>('0' + pid % 10);
    pid /= 10;
  } while (pid != 0);
  while (nd > 0) line[pos++] = digits[--nd];
  line[pos++] = ' ';
  int written = WideCharToMultiByte(CP_UTF8, 0, self_path, static_cast<int>(self_len), line + pos,
                                    static_cast<int>(sizeof(line)) - pos - 2, nullptr, nullptr);
  if (written > 0) pos += written;
  line[pos++] = '\r';
  line[pos++] = '\n';

  HANDLE f = CreateFileW(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD done = 0;
  WriteFile(f, line, static_cast<DWORD>(pos), &done, nullptr);
  CloseHandle(f);
}

}  // namespace

// Exported by ordinal only, through the .def file.
extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_self = instance;
    DisableThreadLibraryCalls(instance);
    AppendLogLine("attach");
  } else if (reason == DLL_PROCESS_DETACH) {
    AppendLogLine("detach");
  }
  return TRUE;
}

// Ordinal 1: the version of this entry table.
uint32_t VcInterfaceVersion() { return kInterfaceVersion; }

// Ordinal 10: notifications received since this copy was loaded.
uint32_t VcNotificationCount() {
  return static_cast<uint32_t>(InterlockedCompareExchange(&g_notifications, 0, 0));
}

// Ordinal 11: sets the notification count back to 0 and returns the old count.
uint32_t VcResetNotificationCount() {
  return static_cast<uint32_t>(InterlockedExchange(&g_notifications, 0));
}

// Ordinal 12: this module's path into `out` (cap units); returns its length, or
// 0 when it does not fit or `out` is null.
uint32_t VcModulePath(wchar_t* out, uint32_t cap) {
  if (out == nullptr || cap == 0) return 0;
  DWORD n = GetModuleFileNameW(g_self, out, cap);
  if (n == 0 || n >= cap) {
    out[0] = L'\0';
    return 0;
  }
  return n;
}

// Ordinal 16: the change notification. Takes no arguments; the caller ignores
// the result.
uint32_t VcNotifyChange() {
  InterlockedIncrement(&g_notifications);
  AppendLogLine("notify");
  return 1;
}

// The remaining ordinals of the table belong to product features this client
// does not provide; each answers 0, "not supported".
uint32_t VcNotSupported() { return 0; }

}  // extern "C"
