// The access list of the client's manifest folders under Common AppData.
//
// The manifest file names the library that the trust list library loads into
// its host process after every commit, so whoever may write the folders may
// choose code for that process to run. The folders therefore grant full control
// only to SYSTEM and BUILTIN\Administrators and read and execute to Everyone;
// sub-folders and files inherit the entries.
#pragma once

#include <windows.h>
// After windows.h: the access-control types and constants.
#include <accctrl.h>

namespace tl::client {

// Security attributes followed by the descriptor they point to, and the access
// list that the descriptor holds (owned here, released with the object).
struct ManifestSecurity {
  SECURITY_ATTRIBUTES attributes{};
  SECURITY_DESCRIPTOR descriptor{};
  PACL acl = nullptr;

  ManifestSecurity() = default;
  ~ManifestSecurity();
  ManifestSecurity(const ManifestSecurity&) = delete;
  ManifestSecurity& operator=(const ManifestSecurity&) = delete;
};

inline constexpr DWORD kManifestAdminAccess = GENERIC_ALL;
inline constexpr DWORD kManifestEveryoneAccess = GENERIC_READ | GENERIC_EXECUTE;
inline constexpr DWORD kManifestInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;

// Fills `security` with the access list above: SYSTEM and Administrators with
// kManifestAdminAccess, Everyone with kManifestEveryoneAccess, all inherited.
// Returns &security->attributes, or null when the list cannot be built — never
// a descriptor without a list, which would leave the folders open to everyone.
SECURITY_ATTRIBUTES* BuildManifestSecurity(ManifestSecurity* security);

}  // namespace tl::client
