// The access list of the client's manifest folders under Common AppData.
//
// The manifest file names the library that the trust list library loads into
// its host process after every commit, so whoever may write the folders may
// choose code for that process to run. The folders therefore grant full control
// only to SYSTEM and BUILTIN\Administrators and read and execute to Everyone;
// sub-folders and files inherit the entries. The list is protected: nothing is
// inherited from the parent, since Common AppData lets every user create files
// and folders in what is made below it.
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

// Specific rights rather than generic ones: they are stored as given, so the
// folders carry exactly these entries.
inline constexpr DWORD kManifestAdminAccess = FILE_ALL_ACCESS;
// Read and execute: FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, written without
// the parts the two share.
inline constexpr DWORD kManifestEveryoneAccess = FILE_GENERIC_READ | FILE_EXECUTE;
static_assert(kManifestEveryoneAccess == 0x1200a9);
inline constexpr DWORD kManifestInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;

// Fills `security` with the access list above: SYSTEM and Administrators with
// kManifestAdminAccess, Everyone with kManifestEveryoneAccess, all inherited by
// files and sub-folders, the list marked protected (SE_DACL_PROTECTED).
// Returns &security->attributes, or null when the list cannot be built — never
// a descriptor without a list, which would leave the folders open to everyone.
SECURITY_ATTRIBUTES* BuildManifestSecurity(ManifestSecurity* security);

}  // namespace tl::client
