#include "client/manifest_security.h"

#include <aclapi.h>

namespace tl::client {

namespace {

// One well-known SID, freed on every path out.
class WellKnownSid {
 public:
  WellKnownSid(SID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD rid0, DWORD rid1) {
    if (!AllocateAndInitializeSid(&authority, count, rid0, rid1, 0, 0, 0, 0, 0, 0, &sid_)) {
      sid_ = nullptr;
    }
  }
  ~WellKnownSid() {
    if (sid_ != nullptr) FreeSid(sid_);
  }
  WellKnownSid(const WellKnownSid&) = delete;
  WellKnownSid& operator=(const WellKnownSid&) = delete;
  PSID get() const { return sid_; }

 private:
  PSID sid_ = nullptr;
};

EXPLICIT_ACCESS_W Grant(PSID sid, TRUSTEE_TYPE type, DWORD access) {
  EXPLICIT_ACCESS_W entry{};
  entry.grfAccessPermissions = access;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = kManifestInheritance;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = type;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
  return entry;
}

}  // namespace

ManifestSecurity::~ManifestSecurity() {
  if (acl != nullptr) LocalFree(acl);
}

SECURITY_ATTRIBUTES* BuildManifestSecurity(ManifestSecurity* security) {
  if (security == nullptr) return nullptr;
  if (security->acl != nullptr) {
    LocalFree(security->acl);
    security->acl = nullptr;
  }

  // SIDs rather than account names: names are localised, SIDs are not.
  WellKnownSid system(SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SYSTEM_RID, 0);
  WellKnownSid admins(SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                      DOMAIN_ALIAS_RID_ADMINS);
  WellKnownSid everyone(SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID, 0);
  if (system.get() == nullptr || admins.get() == nullptr || everyone.get() == nullptr) {
    return nullptr;
  }

  EXPLICIT_ACCESS_W entries[3] = {
      Grant(system.get(), TRUSTEE_IS_USER, kManifestAdminAccess),
      Grant(admins.get(), TRUSTEE_IS_GROUP, kManifestAdminAccess),
      Grant(everyone.get(), TRUSTEE_IS_WELL_KNOWN_GROUP, kManifestEveryoneAccess),
  };
  PACL acl = nullptr;
  if (SetEntriesInAclW(3, entries, nullptr, &acl) != ERROR_SUCCESS || acl == nullptr) {
    return nullptr;
  }
  if (!InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&security->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    LocalFree(acl);
    return nullptr;
  }
  security->acl = acl;
  security->attributes.nLength = sizeof(security->attributes);
  security->attributes.lpSecurityDescriptor = &security->descriptor;
  security->attributes.bInheritHandle = FALSE;
  return &security->attributes;
}

}  // namespace tl::client
