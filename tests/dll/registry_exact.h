// Stores a registry value byte for byte. RegSetValueExW may add a terminator to
// a string value; the native call stores what it is told, as a damaged or
// hostile entry would be stored.
#pragma once

#include <windows.h>

#include <string>

namespace tl::test {

inline bool SetValueExactly(HKEY key, const wchar_t* name, DWORD type, const void* data,
                            DWORD size) {
  struct CountedName {
    USHORT length;
    USHORT maximum_length;
    PWSTR buffer;
  };
  using NtSetValueKeyFn = LONG(NTAPI*)(HANDLE, CountedName*, ULONG, ULONG, const void*, ULONG);
  auto set_value = reinterpret_cast<NtSetValueKeyFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
  if (set_value == nullptr) return false;
  std::wstring text(name == nullptr ? L"" : name);
  const auto bytes = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  CountedName counted{bytes, bytes, text.data()};
  return set_value(key, &counted, 0, type, data, size) >= 0;
}

}  // namespace tl::test
