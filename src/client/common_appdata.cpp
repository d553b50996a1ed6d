#include "client/common_appdata.h"

#include <cstdint>
#include <cwchar>

namespace tl::client {

namespace {

// Closes a registry key on every path out.
class KeyCloser {
 public:
  explicit KeyCloser(HKEY key) : key_(key) {}
  ~KeyCloser() { RegCloseKey(key_); }
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;

 private:
  HKEY key_;
};

// The raw value as a terminated string in `value`, or false.
bool QueryStringValue(HKEY root, const wchar_t* sub_key, const wchar_t* value_name,
                      wchar_t (&value)[kPathUnits]) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, sub_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  KeyCloser closer(key);

  // The buffer is announced at its full size: a value that does not fit comes
  // back as ERROR_MORE_DATA and is refused, never cut.
  DWORD type = REG_NONE;
  DWORD bytes = sizeof(value);
  if (RegQueryValueExW(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) !=
      ERROR_SUCCESS) {
    return false;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  if (bytes == 0) {
    value[0] = L'\0';
    return true;
  }
  if (bytes % 2 != 0 || bytes > sizeof(value)) return false;
  return value[bytes / 2 - 1] == L'\0';
}

}  // namespace

size_t ReadFolderValue(HKEY root, const wchar_t* sub_key, const wchar_t* value_name,
                       wchar_t (&out)[kPathUnits]) {
  out[0] = L'\0';
  wchar_t value[kPathUnits] = {};
  if (!QueryStringValue(root, sub_key, value_name, value)) return 0;

  // The expansion reports the units it needs, terminator included; more than
  // the buffer holds means it did not fit, and what it left is not a path.
  DWORD needed = ExpandEnvironmentStringsW(value, out, kPathUnits);
  if (needed == 0 || needed > kPathUnits) {
    out[0] = L'\0';
    return 0;
  }
  out[kPathUnits - 1] = L'\0';
  return wcslen(out);
}

}  // namespace tl::client
