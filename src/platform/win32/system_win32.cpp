// Win32 backend of the small system services.
#include <windows.h>

#include <string>

#include "platform/system.h"

namespace tl::platform {

bool IsReadable4(const void* p) { return IsReadableRange(p, 4); }

size_t ReadableBytes(const void* p, size_t max) {
  // VirtualQuery instead of IsBadReadPtr: same answer for committed pages, but it
  // never touches the memory, so a guard page stays armed for its owner. Each
  // query describes a whole region of equal state and protection.
  const auto addr = reinterpret_cast<uintptr_t>(p);
  if (max > UINTPTR_MAX - addr) max = UINTPTR_MAX - addr;
  const uintptr_t end = addr + max;
  uintptr_t at = addr;
  while (at < end) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) == 0) break;
    if (info.State != MEM_COMMIT) break;
    const DWORD protect = info.Protect;
    if ((protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) break;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if ((protect & readable) == 0) break;
    const uintptr_t next = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (next <= at) {  // the top of the address space
      at = end;
      break;
    }
    at = next;
  }
  return at >= end ? max : at - addr;
}

uint64_t UtcNowFileTime() {
  SYSTEMTIME st{};
  GetSystemTime(&st);
  FILETIME ft{};
  SystemTimeToFileTime(&st, &ft);
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

ErrorModeScope::ErrorModeScope(unsigned mode) : previous_(SetErrorMode(mode)) {}
ErrorModeScope::~ErrorModeScope() { SetErrorMode(previous_); }

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

uint32_t LastSystemError() { return GetLastError(); }

std::string SystemErrorText(uint32_t code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n != 0 && text != nullptr) {
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
      out.resize(static_cast<size_t>(bytes));
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), bytes, nullptr,
                          nullptr);
    }
  }
  if (text != nullptr) LocalFree(text);
  while (!out.empty() &&
         (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
    out.pop_back();
  }
  if (out.empty()) out = "error " + std::to_string(code);
  return out;
}

}  // namespace tl::platform
