// Where the machine's Common AppData folder is: the registry value "Common
// AppData" under HKEY_LOCAL_MACHINE ...\Explorer\Shell Folders, environment
// references expanded. The manifest folders of the client library live under it.
#pragma once

#include <windows.h>

#include <cstddef>

namespace tl::client {

inline constexpr size_t kPathUnits = 260;  // every path buffer of the loader
inline constexpr wchar_t kShellFoldersKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
inline constexpr wchar_t kCommonAppDataValue[] = L"Common AppData";

// Reads value `value_name` of key `root`\`sub_key` as a folder path into `out`
// (kPathUnits units). The value counts only when it is REG_SZ or REG_EXPAND_SZ
// and its data is empty or an even number of bytes ending in a 0 unit that fits
// the buffer; a value stored without its terminator is refused, never read past.
// Environment references are expanded. Returns the length of `out` in units
// (terminator excluded), 0 on any failure or for an empty value; `out` is then
// empty.
size_t ReadFolderValue(HKEY root, const wchar_t* sub_key, const wchar_t* value_name,
                       wchar_t (&out)[kPathUnits]);

}  // namespace tl::client
