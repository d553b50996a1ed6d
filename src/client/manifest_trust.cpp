#include "client/manifest_trust.h"

#include <aclapi.h>

#include <cstddef>

namespace tl::client {

namespace {

// A SID in a buffer of its own: no allocation, nothing to free.
class FixedSid {
 public:
  FixedSid(SID_IDENTIFIER_AUTHORITY authority, BYTE count, const DWORD* rids) {
    valid_ = InitializeSid(buffer_, &authority, count) != FALSE;
    for (BYTE i = 0; valid_ && i < count; ++i) *GetSidSubAuthority(buffer_, i) = rids[i];
  }
  PSID get() const { return valid_ ? const_cast<BYTE*>(buffer_) : nullptr; }

 private:
  BYTE buffer_[SECURITY_MAX_SID_SIZE] = {};
  bool valid_ = false;
};

constexpr DWORD kSystemRids[] = {SECURITY_LOCAL_SYSTEM_RID};
constexpr DWORD kAdminsRids[] = {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS};
// NT SERVICE\TrustedInstaller: S-1-5-80 followed by the hash of the service name.
constexpr DWORD kTrustedInstallerRids[] = {80,         956008885,  3418522649,
                                           1831038044, 1853292631, 2271478464};
constexpr DWORD kCreatorOwnerRids[] = {SECURITY_CREATOR_OWNER_RID};

bool Same(PSID a, PSID b) { return a != nullptr && b != nullptr && EqualSid(a, b) != FALSE; }

class TrustedPrincipals {
 public:
  explicit TrustedPrincipals(const ProcessIdentity& identity) : identity_(identity) {}

  bool Contains(PSID sid) const {
    return Same(sid, system_.get()) || Same(sid, admins_.get()) ||
           Same(sid, trusted_installer_.get()) || Same(sid, identity_.user()) ||
           Same(sid, identity_.owner());
  }
  bool IsCreatorOwner(PSID sid) const { return Same(sid, creator_owner_.get()); }

 private:
  const ProcessIdentity& identity_;
  FixedSid system_{SECURITY_NT_AUTHORITY, 1, kSystemRids};
  FixedSid admins_{SECURITY_NT_AUTHORITY, 2, kAdminsRids};
  FixedSid trusted_installer_{SECURITY_NT_AUTHORITY, 6, kTrustedInstallerRids};
  FixedSid creator_owner_{SECURITY_CREATOR_SID_AUTHORITY, 1, kCreatorOwnerRids};
};

// Entry types that grant nothing: deny, audit, alarm, label and attribute
// entries.
bool GrantsNothing(BYTE type) {
  switch (type) {
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_ACE_TYPE:
    case SYSTEM_ALARM_CALLBACK_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
    case 0x12:  // SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE
    case 0x13:  // SYSTEM_SCOPED_POLICY_ID_ACE_TYPE
    case 0x14:  // SYSTEM_PROCESS_TRUST_LABEL_ACE_TYPE
    case 0x15:  // SYSTEM_ACCESS_FILTER_ACE_TYPE
      return true;
    default:
      return false;
  }
}

// Whether one entry lets an untrusted principal write.
bool GrantsUntrustedWrite(const ACE_HEADER* header, const TrustedPrincipals& trusted) {
  const BYTE type = header->AceType;
  if (GrantsNothing(type)) return false;
  // Allow entries whose trustee sits right after the mask. Object and compound
  // allow entries place it elsewhere; they do not occur on files, and any
  // write right in one counts as untrusted. Every allow type has its mask
  // right after the header.
  const bool plain = type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
  const bool other_allow = type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE ||
                           type == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                           type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
  if (!plain && !other_allow) return true;
  constexpr size_t kSidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
  if (header->AceSize < kSidOffset) return true;
  const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  if ((ace->Mask & kWriteTypeRights) == 0) return false;
  if (!plain) return true;
  auto* sid = const_cast<DWORD*>(&ace->SidStart);
  if (header->AceSize < kSidOffset + 8 || !IsValidSid(sid) ||
      GetLengthSid(sid) > header->AceSize - kSidOffset) {
    return true;
  }
  if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 && trusted.IsCreatorOwner(sid)) return false;
  return !trusted.Contains(sid);
}

bool CopySidInto(PSID sid, BYTE (&buffer)[SECURITY_MAX_SID_SIZE]) {
  return sid != nullptr && IsValidSid(sid) && CopySid(sizeof(buffer), buffer, sid) != FALSE;
}

}  // namespace

ProcessIdentity::ProcessIdentity() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
  // TOKEN_USER and TOKEN_OWNER are a pointer followed by the SID it points to.
  alignas(void*) BYTE info[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (GetTokenInformation(token, TokenUser, info, sizeof(info), &size)) {
    has_user_ = CopySidInto(reinterpret_cast<TOKEN_USER*>(info)->User.Sid, user_);
  }
  if (GetTokenInformation(token, TokenOwner, info, sizeof(info), &size)) {
    has_owner_ = CopySidInto(reinterpret_cast<TOKEN_OWNER*>(info)->Owner, owner_);
  }
  CloseHandle(token);
}

ProcessIdentity::ProcessIdentity(PSID user, PSID owner) {
  has_user_ = CopySidInto(user, user_);
  has_owner_ = CopySidInto(owner, owner_);
}

bool IsTrustedObject(DWORD attributes, PSECURITY_DESCRIPTOR descriptor,
                     const ProcessIdentity& identity) {
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  if (descriptor == nullptr || !IsValidSecurityDescriptor(descriptor)) return false;
  TrustedPrincipals trusted(identity);

  PSID owner = nullptr;
  BOOL owner_defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &owner_defaulted) ||
      !trusted.Contains(owner)) {
    return false;
  }

  BOOL present = FALSE;
  BOOL dacl_defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &dacl_defaulted) || !present ||
      dacl == nullptr || !IsValidAcl(dacl)) {
    return false;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) return false;
    if (GrantsUntrustedWrite(static_cast<const ACE_HEADER*>(entry), trusted)) return false;
  }
  return true;
}

bool IsTrustedPath(const wchar_t* path, const ProcessIdentity& identity) {
  if (path == nullptr || path[0] == L'\0') return false;
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool trusted = IsTrustedObject(attributes, descriptor, identity);
  LocalFree(descriptor);
  return trusted;
}

}  // namespace tl::client
