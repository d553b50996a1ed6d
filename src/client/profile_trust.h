// When the profile (win.ini) may name the client library.
//
// The profile is the loader's last place: key Path64 of the section named after
// the client in win.ini. Whoever can change what the profile functions read
// there chooses the code that the product's privileged processes load after
// every commit, so the value is believed only as far as the manifest is:
// - %windir%\win.ini and the Windows folder pass the manifest's check
//   (IsTrustedObject: a trusted owner, no write-type right for anyone else, no
//   reparse point);
// - the IniFileMapping entries under HKEY_LOCAL_MACHINE do not send the
//   section, or its Path64, anywhere but the file itself or
//   HKEY_LOCAL_MACHINE. A mapping makes the profile functions read the
//   registry instead of the file; "USR:" sends them to HKEY_CURRENT_USER, a
//   hive every user writes.
// Otherwise the profile is ignored as if it had no Path64.
#pragma once

#include <windows.h>

#include <cstddef>

#include "client/manifest_trust.h"

namespace tl::client {

// The key of win.ini's mapping, below HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kWinIniMappingKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\win.ini";
// Longest mapping text read, terminator included; a longer one is not read.
inline constexpr size_t kMappingUnits = 512;

// One value of the mapping as the registry gave it.
struct MappingValue {
  enum class State {
    kAbsent,  // no such value
    kText,    // a string, in `text`
    kOther,   // present but not a terminated string that fits, or unreadable
  };
  State state = State::kAbsent;
  wchar_t text[kMappingUnits] = {};
};

// One key of the mapping.
enum class MappingKey { kAbsent, kPresent, kUnreadable };

// What the mapping holds for one section and key of win.ini.
struct ProfileMapping {
  MappingKey file_key = MappingKey::kAbsent;     // IniFileMapping\win.ini
  MappingValue file_default;                     // its unnamed value
  MappingValue section_value;                    // its value named after the section
  MappingKey section_key = MappingKey::kAbsent;  // its sub-key named after the section
  MappingValue key_value;                        // that sub-key's value named after the key
  MappingValue section_default;                  // that sub-key's unnamed value
};

// Where the profile functions read a key from.
enum class ProfileStore {
  kFile,     // the file itself
  kMachine,  // "SYS:": HKEY_LOCAL_MACHINE\SOFTWARE\...
  kUser,     // "USR:": HKEY_CURRENT_USER\...
  kUnknown,  // a mapping this code cannot read or does not know
};

// The store one mapping text names: any run of the prefixes '!' (write to
// both), '#' (copied at first logon) and '@' (never fall back to the file),
// then "SYS:" or "USR:" in any case. Anything else, empty or null, is kUnknown.
ProfileStore MappingTarget(const wchar_t* text);

// The store the profile functions take for the key, in their order: no
// mapping for win.ini means the file; a value named after the section maps
// the whole section; else a sub-key named after it maps the key by the value
// of the key's name, or by its unnamed value; else the file key's unnamed
// value maps every section not listed; else the file. Where the order is not
// documented (a section both value and sub-key; a sub-key with neither value)
// every reading must be acceptable, and the first that is not is returned.
// An unreadable key or value is kUnknown.
ProfileStore ResolveProfileStore(const ProfileMapping& mapping);

// The file or HKEY_LOCAL_MACHINE: places only an administrator writes.
bool IsMachineStore(ProfileStore store);

// What the file system reports for one object.
struct ObjectSecurity {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
};

// The decision: win.ini and its folder are trusted objects and the mapping
// keeps the key in a machine store.
bool IsProfileTrusted(const ObjectSecurity& file, const ObjectSecurity& folder,
                      const ProcessIdentity& identity, const ProfileMapping& mapping);

// The mapping of `section` and `key` below `root`\`file_key` (in the product
// HKEY_LOCAL_MACHINE and kWinIniMappingKey). A section or key name holding a
// '\' would name a deeper registry key: the whole mapping is then kUnreadable.
void ReadProfileMapping(HKEY root, const wchar_t* file_key, const wchar_t* section,
                        const wchar_t* key, ProfileMapping* mapping);

// IsProfileTrusted over this machine: %windir%\win.ini as the profile
// functions find it (GetWindowsDirectoryW), its folder, and the mapping under
// HKEY_LOCAL_MACHINE. False when any of them cannot be read.
bool IsProfileTrustedHere(const wchar_t* section, const wchar_t* key,
                          const ProcessIdentity& identity);

}  // namespace tl::client
