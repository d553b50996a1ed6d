// When the manifest may name the client library.
//
// Whoever can change the manifest, or replace it, chooses the code that the
// product's processes load. A manifest is therefore used only when the file and
// both folders above it (<Common AppData>\Brenmoor and ...\Manifest) are owned
// by a trusted principal and grant no write-type right to anyone else. Trusted
// are SYSTEM, BUILTIN\Administrators, TrustedInstaller and the process's own
// user and token owner (the process could run its own code anyway). Common
// AppData itself lets standard users create folders there, which is exactly
// why a folder someone else made first must not count.
#pragma once

#include <windows.h>

#include "client/common_appdata.h"

namespace tl::client {

// Rights that change an object's content, attributes, name or access list, or
// that let a holder take any of those: an allow entry with one of them for an
// untrusted principal makes the object untrusted. Write extended attributes is
// counted too, although the manifest reader does not look at them.
inline constexpr DWORD kWriteTypeRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD |
    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// The principals of this process that count as trusted besides the three
// well-known ones: the token's user and its default owner.
class ProcessIdentity {
 public:
  // Read from the process token; a part that cannot be read stays empty
  // (trusts nobody).
  ProcessIdentity();
  // Given; null for none. The SIDs are copied.
  ProcessIdentity(PSID user, PSID owner);

  PSID user() const { return has_user_ ? const_cast<BYTE*>(user_) : nullptr; }
  PSID owner() const { return has_owner_ ? const_cast<BYTE*>(owner_) : nullptr; }

 private:
  BYTE user_[SECURITY_MAX_SID_SIZE] = {};
  BYTE owner_[SECURITY_MAX_SID_SIZE] = {};
  bool has_user_ = false;
  bool has_owner_ = false;
};

// The decision for one object, from its file attributes and its descriptor
// (owner and DACL). Trusted when all hold:
// - the attributes are known and the object is no reparse point (a link that
//   its maker could point elsewhere after the check);
// - the descriptor is valid and has an owner, and the owner is trusted;
// - a DACL is present and not NULL (a NULL DACL grants everyone everything);
// - no allow entry grants a kWriteTypeRights right to an untrusted principal,
//   except an inherit-only entry for CREATOR OWNER, which applies to no object
//   that exists. Deny and audit entries grant nothing and are passed over; an
//   entry of a type not known here is not.
bool IsTrustedObject(DWORD attributes, PSECURITY_DESCRIPTOR descriptor,
                     const ProcessIdentity& identity);

// IsTrustedObject over what the file system reports for `path`; false when
// either cannot be read.
bool IsTrustedPath(const wchar_t* path, const ProcessIdentity& identity);

}  // namespace tl::client
