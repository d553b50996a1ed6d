// Where a commit writes: the container file beside the host module.
#pragma once

#include <cstddef>

namespace tl::entry {

inline constexpr size_t kTargetPathUnits = 260;  // the request record's target path field
inline constexpr wchar_t kCustomFileName[] = L"TrustCustom.mnf";
inline constexpr wchar_t kHashFileName[] = L"TrustHash.mnf";

// Replaces everything after the last backslash of the module path by the
// container's file name ("TrustCustom.mnf" when `custom_file`, else
// "TrustHash.mnf"). `module_len` is what GetModuleFileNameW returned for a
// buffer of `buffer_units`: 0 (no path) and `buffer_units` or more (a cut path)
// are refused, as are a path without a backslash and a result that would not
// fit in 259 units. A refused path leaves `out` empty and gives false: a target
// is never a cut or guessed file name.
bool ComposeTargetPath(const wchar_t* module_path, size_t module_len, size_t buffer_units,
                       bool custom_file, wchar_t (&out)[kTargetPathUnits]);

}  // namespace tl::entry
