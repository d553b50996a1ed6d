#include "client/client_search.h"

#include <cwchar>

namespace tl::client {

namespace {

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

bool IsAbsolutePath(const wchar_t* path) {
  if (path == nullptr) return false;
  if (path[0] == L'\\' && path[1] == L'\\') return path[2] != L'\0';
  return IsDriveLetter(path[0]) && path[1] == L':' && path[2] == L'\\';
}

bool ClientFileName(const wchar_t* module_name, wchar_t (&out)[kPathUnits]) {
  out[0] = L'\0';
  if (module_name == nullptr || module_name[0] == L'\0') return false;
  size_t len = wcsnlen(module_name, kPathUnits);
  if (len >= kPathUnits) return false;
  if (wcspbrk(module_name, L"\\/:") != nullptr) return false;
  const bool has_dot = wcschr(module_name, L'.') != nullptr;
  constexpr wchar_t kSuffix[] = L".dll";
  constexpr size_t kSuffixUnits = sizeof(kSuffix) / sizeof(kSuffix[0]) - 1;
  if (!has_dot && len + kSuffixUnits >= kPathUnits) return false;
  wmemcpy(out, module_name, len);
  if (!has_dot) {
    wmemcpy(out + len, kSuffix, kSuffixUnits);
    len += kSuffixUnits;
  }
  out[len] = L'\0';
  return true;
}

bool JoinFolder(const wchar_t* folder, const wchar_t* file_name, wchar_t (&out)[kPathUnits]) {
  out[0] = L'\0';
  if (!IsAbsolutePath(folder) || file_name == nullptr || file_name[0] == L'\0') return false;
  size_t folder_len = wcsnlen(folder, kPathUnits);
  size_t name_len = wcsnlen(file_name, kPathUnits);
  if (folder_len >= kPathUnits || name_len >= kPathUnits) return false;
  const bool has_separator = folder[folder_len - 1] == L'\\';
  size_t total = folder_len + (has_separator ? 0 : 1) + name_len;
  if (total >= kPathUnits) return false;
  wmemcpy(out, folder, folder_len);
  size_t pos = folder_len;
  if (!has_separator) out[pos++] = L'\\';
  wmemcpy(out + pos, file_name, name_len);
  out[total] = L'\0';
  return true;
}

bool OwnModuleFolder(wchar_t (&out)[kPathUnits]) {
  out[0] = L'\0';
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&OwnModuleFolder), &self)) {
    return false;
  }
  // A path that fills the buffer may have been cut: not a folder to trust.
  DWORD len = GetModuleFileNameW(self, out, kPathUnits);
  if (len == 0 || len >= kPathUnits) {
    out[0] = L'\0';
    return false;
  }
  wchar_t* slash = wcsrchr(out, L'\\');
  if (slash == nullptr) {
    out[0] = L'\0';
    return false;
  }
  *slash = L'\0';
  if (!IsAbsolutePath(out) && slash == out + 2) {
    // "C:\x.dll": the folder is the drive's root, "C:\".
    slash[0] = L'\\';
    slash[1] = L'\0';
  }
  if (!IsAbsolutePath(out)) {
    out[0] = L'\0';
    return false;
  }
  return true;
}

}  // namespace tl::client
