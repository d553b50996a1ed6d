// The decision whether a manifest, or a folder above it, may be believed,
// over descriptors built from SDDL strings: Wine reports one synthesized
// descriptor for every file, so the decision is attacked here in memory.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h: the SDDL conversions.
#include <sddl.h>

#include <cstring>
#include <string>

#include "client/manifest_trust.h"
#include "sddl_descriptor.h"

namespace tl::test {
namespace {

// The process of these cases runs as kUser; its token owner is kOwner.
constexpr wchar_t kUser[] = L"S-1-5-21-1-2-3-1001";
constexpr wchar_t kOwner[] = L"S-1-5-21-1-2-3-513";
constexpr wchar_t kOtherUser[] = L"S-1-5-21-1-2-3-1002";
constexpr wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

class Sid {
 public:
  explicit Sid(const wchar_t* text) { ConvertStringSidToSidW(text, &sid_); }
  ~Sid() { LocalFree(sid_); }
  Sid(const Sid&) = delete;
  Sid& operator=(const Sid&) = delete;
  PSID get() const { return sid_; }

 private:
  PSID sid_ = nullptr;
};

std::wstring S(const wchar_t* a, const std::wstring& b = L"", const std::wstring& c = L"") {
  return std::wstring(a) + b + c;
}

// The folders the library makes, as stored under an administrator's process.
const std::wstring kMadeFolder = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)";

TEST(ManifestTrustTest, OwnerAndEveryAllowEntryDecide) {
  Sid user(kUser);
  Sid owner(kOwner);
  ASSERT_NE(user.get(), nullptr);
  client::ProcessIdentity identity(user.get(), owner.get());
  struct Case {
    const char* what;
    std::wstring sddl;
    bool trusted;
  };
  const Case cases[] = {
      {"a folder the library made", kMadeFolder, true},
      {"owned by SYSTEM", L"O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)", true},
      {"owned by TrustedInstaller",
       S(L"O:", kTrustedInstaller, S(L"D:(A;;FA;;;", kTrustedInstaller, L")(A;;0x1200a9;;;BU)")),
       true},
      {"owned by the process's user", S(L"O:", kUser, S(L"D:(A;;FA;;;", kUser, L")")), true},
      {"owned by the process's token owner", S(L"O:", kOwner, S(L"D:(A;;FA;;;", kOwner, L")")),
       true},
      {"what Wine reports for every file",
       S(L"O:", kUser,
         S(L"G:", kOwner, S(L"D:(A;;FA;;;SY)(A;;FA;;;", kUser, L")(A;;0x1200a9;;;WD)"))),
       true},
      {"an empty DACL: nobody may do anything", L"O:SYD:", true},
      {"owned by another user", S(L"O:", kOtherUser, L"D:(A;;FA;;;SY)"), false},
      {"owned by Users", L"O:BUD:(A;;FA;;;SY)", false},
      {"owned by Everyone", L"O:WDD:(A;;FA;;;SY)", false},
      {"no owner", L"D:(A;;FA;;;SY)", false},
      {"no DACL at all", L"O:SY", false},
      {"another user may write", S(L"O:SYD:(A;;FA;;;SY)(A;;FA;;;", kOtherUser, L")"), false},
      {"Authenticated Users may write", L"O:SYD:(A;;FA;;;SY)(A;;FW;;;AU)", false},
      {"OWNER RIGHTS is not the owner", L"O:SYD:(A;;FA;;;SY)(A;;FA;;;OW)", false},
      // C:\ProgramData passes this on to every folder made below it without
      // a protected list: Users may create files and folders.
      {"Common AppData's inherited entry", L"O:BAD:AI(A;OICIID;FA;;;BA)(A;CIID;0x116;;;BU)", false},
      {"CREATOR OWNER, inherit-only", L"O:SYD:(A;;FA;;;SY)(A;OICIIO;GA;;;CO)", true},
      {"CREATOR OWNER on the object itself", L"O:SYD:(A;;FA;;;SY)(A;;GA;;;CO)", false},
      {"Users, inherit-only", L"O:SYD:(A;;FA;;;SY)(A;OICIIO;FW;;;BU)", false},
      {"a deny entry grants nothing", L"O:SYD:(D;;FA;;;WD)(A;;FA;;;SY)", true},
      {"a deny entry does not cancel an allow", L"O:SYD:(D;;FW;;;BU)(A;;FW;;;BU)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Descriptor sd(c.sddl);
    ASSERT_TRUE(sd.ok()) << "SDDL refused";
    EXPECT_EQ(client::IsTrustedObject(FILE_ATTRIBUTE_DIRECTORY, sd.get(), identity), c.trusted);
    EXPECT_EQ(client::IsTrustedObject(FILE_ATTRIBUTE_NORMAL, sd.get(), identity), c.trusted);
  }
}

TEST(ManifestTrustTest, EveryWriteTypeRightOfAnyoneElseIsRefused) {
  Sid user(kUser);
  client::ProcessIdentity identity(user.get(), nullptr);
  struct Right {
    const char* what;
    DWORD mask;
    bool write;
  };
  const Right rights[] = {
      {"write data / add file", FILE_WRITE_DATA, true},
      {"append data / add subdirectory", FILE_APPEND_DATA, true},
      {"write extended attributes", FILE_WRITE_EA, true},
      {"delete child", FILE_DELETE_CHILD, true},
      {"write attributes", FILE_WRITE_ATTRIBUTES, true},
      {"delete", DELETE, true},
      {"write DAC", WRITE_DAC, true},
      {"write owner", WRITE_OWNER, true},
      {"generic write", GENERIC_WRITE, true},
      {"generic all", GENERIC_ALL, true},
      {"maximum allowed", MAXIMUM_ALLOWED, true},
      {"read and execute", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, false},
      {"generic read and execute", GENERIC_READ | GENERIC_EXECUTE, false},
      {"read control and synchronize", READ_CONTROL | SYNCHRONIZE, false},
      {"read attributes and extended attributes", FILE_READ_ATTRIBUTES | FILE_READ_EA, false},
  };
  // Each right for principals that do not count and for those that do.
  struct Trustee {
    std::wstring sddl;
    bool trusted;
  };
  const Trustee trustees[] = {
      {L"WD", false},
      {L"BU", false},
      {L"AU", false},
      {kOtherUser, false},
      {L"SY", true},
      {L"BA", true},
      {kTrustedInstaller, true},
      {kUser, true},
  };
  for (const Right& r : rights) {
    for (const Trustee& t : trustees) {
      SCOPED_TRACE(testing::Message()
                   << r.what << " for " << std::string(t.sddl.begin(), t.sddl.end()));
      wchar_t mask[16];
      swprintf(mask, 16, L"0x%lx", static_cast<unsigned long>(r.mask));
      Descriptor sd(S(L"O:SYD:(A;;FA;;;SY)(A;;", mask, S(L";;;", t.sddl, L")")));
      ASSERT_TRUE(sd.ok());
      EXPECT_EQ(client::IsTrustedObject(FILE_ATTRIBUTE_NORMAL, sd.get(), identity),
                t.trusted || !r.write);
    }
  }
}

TEST(ManifestTrustTest, LinksUnreadableObjectsAndAnEmptyIdentityAreRefused) {
  Sid user(kUser);
  client::ProcessIdentity identity(user.get(), nullptr);
  Descriptor made(kMadeFolder);
  ASSERT_TRUE(made.ok());
  struct Case {
    const char* what;
    DWORD attributes;
    bool trusted;
  };
  const Case cases[] = {
      {"a plain folder", FILE_ATTRIBUTE_DIRECTORY, true},
      {"a read-only file", FILE_ATTRIBUTE_READONLY, true},
      {"a junction", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, false},
      {"a symbolic link to a file", FILE_ATTRIBUTE_REPARSE_POINT, false},
      {"attributes unknown", INVALID_FILE_ATTRIBUTES, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(client::IsTrustedObject(c.attributes, made.get(), identity), c.trusted);
  }
  EXPECT_FALSE(client::IsTrustedObject(FILE_ATTRIBUTE_NORMAL, nullptr, identity));

  // An identity that could not be read trusts only the well-known principals.
  client::ProcessIdentity nobody(nullptr, nullptr);
  Descriptor users_own(S(L"O:", kUser, S(L"D:(A;;FA;;;", kUser, L")")));
  EXPECT_FALSE(client::IsTrustedObject(FILE_ATTRIBUTE_NORMAL, users_own.get(), nobody));
  EXPECT_TRUE(client::IsTrustedObject(FILE_ATTRIBUTE_NORMAL, made.get(), nobody));
}

// Built by hand: the SDDL parser of Wine makes neither of these.
TEST(ManifestTrustTest, ANullDaclAndObjectEntriesWithWriteRightsAreRefused) {
  Sid system(L"S-1-5-18");
  Sid users(L"S-1-5-32-545");
  client::ProcessIdentity identity(nullptr, nullptr);
  struct Case {
    const char* what;
    bool null_dacl;
    PSID object_trustee;
    DWORD object_mask;
    bool trusted;
  };
  const Case cases[] = {
      {"NULL DACL: everyone may do everything", true, nullptr, 0, false},
      {"an empty DACL for comparison", false, nullptr, 0, true},
      {"object entry writing, even for SYSTEM", false, system.get(), FILE_WRITE_DATA, false},
      {"object entry reading only, for Users", false, users.get(), FILE_GENERIC_READ, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    alignas(DWORD) BYTE acl_buffer[256];
    auto* acl = reinterpret_cast<PACL>(acl_buffer);
    ASSERT_TRUE(InitializeAcl(acl, sizeof(acl_buffer), ACL_REVISION_DS));
    if (c.object_trustee != nullptr) {
      // Header, mask, flags 0 (no object types), then the trustee.
      alignas(DWORD) BYTE ace[64] = {};
      const DWORD sid_len = GetLengthSid(c.object_trustee);
      const auto size = static_cast<WORD>(12 + sid_len);
      auto* header = reinterpret_cast<ACE_HEADER*>(ace);
      header->AceType = ACCESS_ALLOWED_OBJECT_ACE_TYPE;
      header->AceSize = size;
      std::memcpy(ace + 4, &c.object_mask, 4);
      ASSERT_TRUE(CopySid(sid_len, ace + 12, c.object_trustee));
      ASSERT_TRUE(AddAce(acl, ACL_REVISION_DS, MAXDWORD, ace, size));
    }
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, system.get(), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, c.null_dacl ? nullptr : acl, FALSE));
    EXPECT_EQ(client::IsTrustedObject(FILE_ATTRIBUTE_NORMAL, &sd, identity), c.trusted);
  }
}

TEST(ManifestTrustTest, TheProcessTokenGivesAUserAndPathsAreRead) {
  client::ProcessIdentity identity;
  ASSERT_NE(identity.user(), nullptr);
  EXPECT_TRUE(IsValidSid(identity.user()));
  EXPECT_FALSE(client::IsTrustedPath(nullptr, identity));
  EXPECT_FALSE(client::IsTrustedPath(L"", identity));
  EXPECT_FALSE(client::IsTrustedPath(L"C:\\no-such-folder-here\\x.manifest", identity));
}

}  // namespace
}  // namespace tl::test
