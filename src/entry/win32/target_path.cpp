#include "entry/win32/target_path.h"

namespace tl::entry {

bool ComposeTargetPath(const wchar_t* module_path, size_t module_len, size_t buffer_units,
                       bool custom_file, wchar_t (&out)[kTargetPathUnits]) {
  out[0] = L'\0';
  if (module_path == nullptr || module_len == 0 || module_len >= buffer_units) return false;

  size_t dir_len = 0;  // units up to and including the last backslash
  for (size_t i = 0; i < module_len; ++i) {
    if (module_path[i] == L'\0') return false;  // a length that disagrees with the text
    if (module_path[i] == L'\\') dir_len = i + 1;
  }
  if (dir_len == 0) return false;

  const wchar_t* name = custom_file ? kCustomFileName : kHashFileName;
  size_t name_len = custom_file ? (sizeof(kCustomFileName) / sizeof(wchar_t) - 1)
                                : (sizeof(kHashFileName) / sizeof(wchar_t) - 1);
  if (dir_len + name_len >= kTargetPathUnits) return false;

  for (size_t i = 0; i < dir_len; ++i) out[i] = module_path[i];
  for (size_t i = 0; i < name_len; ++i) out[dir_len + i] = name[i];
  out[dir_len + name_len] = L'\0';
  return true;
}

}  // namespace tl::entry
