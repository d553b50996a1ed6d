// Where the client library may be loaded from, and how.
//
// The trust list library runs inside the product's processes, often privileged
// ones, so the client it loads after every commit must come from a place only
// an administrator can write. The places, first success wins:
//   1. beside the trust list library itself, by absolute path;
//   2. the application folder and System32, by file name (never the current
//      directory, PATH or a folder the process added);
//   3. the absolute Path64 of a trusted manifest;
//   4. the absolute Path64 of the profile (win.ini), when win.ini is trusted
//      as the manifest is and not mapped to the user's registry
//      (client/profile_trust.h).
// A relative or empty recorded path is skipped: it would be resolved through
// the very search that steps 1 and 2 avoid.
#pragma once

#include <windows.h>

#include <cstddef>

#include "client/common_appdata.h"

namespace tl::client {

// The file name by itself: only the application folder and System32.
inline constexpr DWORD kFileNameSearch =
    LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
// An absolute path: that file, its dependencies from its own folder and System32.
inline constexpr DWORD kAbsolutePathSearch =
    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

// True for a fully qualified path: a drive letter, colon and backslash
// ("C:\x.dll") or two leading backslashes (UNC "\\server\share\x.dll", and the
// "\\?\" and "\\.\" forms). "C:x.dll", "\x.dll", "x.dll", "..\x.dll" and
// forward slashes after the drive are relative and false, as is null or empty.
bool IsAbsolutePath(const wchar_t* path);

// The client's file name for `module_name` into `out`: the name as it is when
// it holds a '.', else the name followed by ".dll". False (and `out` empty)
// when the name is empty, does not fit, or is not a plain file name: a '\',
// '/' or ':' would let the name leave the folders it is looked for in.
bool ClientFileName(const wchar_t* module_name, wchar_t (&out)[kPathUnits]);

// `folder` + '\' + `file_name` into `out` when `folder` is absolute and the
// whole path fits; else false and `out` empty. A trailing '\' of `folder` is
// not doubled.
bool JoinFolder(const wchar_t* folder, const wchar_t* file_name, wchar_t (&out)[kPathUnits]);

// The folder of the module that holds this code (trustlist.dll in the product;
// the program itself when the code is linked into one) into `out`, without a
// trailing backslash. False when the module's path cannot be had whole.
bool OwnModuleFolder(wchar_t (&out)[kPathUnits]);

}  // namespace tl::client
