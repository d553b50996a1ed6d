// The decision whether win.ini's Path64 may be believed: which store the
// IniFileMapping entries send the key to, over tables of mapping values and of
// descriptors (built from SDDL, as Wine reports one synthesized descriptor for
// every file), and the reading of those entries from a registry key of the
// test's own.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h: the SDDL conversions.
#include <sddl.h>

#include <cwchar>
#include <string>

#include "client/manifest_trust.h"
#include "client/profile_trust.h"
#include "registry_exact.h"
#include "sddl_descriptor.h"

namespace tl::test {
namespace {

using client::MappingKey;
using client::MappingValue;
using client::ProfileMapping;
using client::ProfileStore;

const char* StoreName(ProfileStore store) {
  switch (store) {
    case ProfileStore::kFile:
      return "file";
    case ProfileStore::kMachine:
      return "machine";
    case ProfileStore::kUser:
      return "user";
    case ProfileStore::kUnknown:
      return "unknown";
  }
  return "?";
}

TEST(ProfileTrustTest, MappingTextNamesItsStore) {
  struct Case {
    const wchar_t* text;
    ProfileStore store;
  };
  const Case cases[] = {
      {L"SYS:Brenmoor\\Client", ProfileStore::kMachine},
      {L"sys:x", ProfileStore::kMachine},
      {L"!SYS:x", ProfileStore::kMachine},
      {L"@#!SYS:x", ProfileStore::kMachine},
      {L"USR:Software\\Brenmoor", ProfileStore::kUser},
      {L"Usr:x", ProfileStore::kUser},
      {L"#USR:x", ProfileStore::kUser},
      {L"!@USR:x", ProfileStore::kUser},
      {L"", ProfileStore::kUnknown},
      {L"!#@", ProfileStore::kUnknown},
      {L" SYS:x", ProfileStore::kUnknown},
      {L"SYS", ProfileStore::kUnknown},
      {L"SYSTEM:x", ProfileStore::kUnknown},
      {L"HKLM:x", ProfileStore::kUnknown},
      {L"C:\\Windows\\win.ini", ProfileStore::kUnknown},
      {L"$SYS:x", ProfileStore::kUnknown},
      {nullptr, ProfileStore::kUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text == nullptr ? std::string("null")
                                   : std::string(c.text, c.text + wcslen(c.text)));
    EXPECT_STREQ(StoreName(client::MappingTarget(c.text)), StoreName(c.store));
  }
}

// A value of the mapping: absent (null), text, or something else ("?").
MappingValue Value(const wchar_t* text) {
  MappingValue value;
  if (text == nullptr) return value;
  if (wcscmp(text, L"?") == 0) {
    value.state = MappingValue::State::kOther;
    return value;
  }
  value.state = MappingValue::State::kText;
  wcsncpy(value.text, text, client::kMappingUnits - 1);
  return value;
}

constexpr wchar_t kSys[] = L"SYS:Brenmoor\\Mapped";
constexpr wchar_t kUsr[] = L"USR:Software\\Brenmoor";

struct MappingCase {
  const char* what;
  MappingKey file_key;
  const wchar_t* file_default;
  const wchar_t* section_value;
  MappingKey section_key;
  const wchar_t* key_value;
  const wchar_t* section_default;
  ProfileStore store;
};

ProfileMapping Mapping(const MappingCase& c) {
  ProfileMapping m;
  m.file_key = c.file_key;
  m.file_default = Value(c.file_default);
  m.section_value = Value(c.section_value);
  m.section_key = c.section_key;
  m.key_value = Value(c.key_value);
  m.section_default = Value(c.section_default);
  return m;
}

constexpr MappingKey kNo = MappingKey::kAbsent;
constexpr MappingKey kYes = MappingKey::kPresent;
constexpr MappingKey kBad = MappingKey::kUnreadable;

// file key, its default, section value, section sub-key, key value, sub-key
// default -> store.
const MappingCase kMappings[] = {
    {"no mapping for win.ini", kNo, nullptr, nullptr, kNo, nullptr, nullptr, ProfileStore::kFile},
    {"mapping key unreadable", kBad, nullptr, nullptr, kNo, nullptr, nullptr,
     ProfileStore::kUnknown},
    {"win.ini mapped, this section not", kYes, nullptr, nullptr, kNo, nullptr, nullptr,
     ProfileStore::kFile},
    {"section value to HKLM", kYes, nullptr, kSys, kNo, nullptr, nullptr, ProfileStore::kMachine},
    {"section value to HKCU", kYes, nullptr, kUsr, kNo, nullptr, nullptr, ProfileStore::kUser},
    {"section value of another type", kYes, nullptr, L"?", kNo, nullptr, nullptr,
     ProfileStore::kUnknown},
    {"section value wins over the file's default", kYes, kUsr, kSys, kNo, nullptr, nullptr,
     ProfileStore::kMachine},
    {"file's default to HKCU maps the unlisted section", kYes, kUsr, nullptr, kNo, nullptr, nullptr,
     ProfileStore::kUser},
    {"file's default to HKLM", kYes, kSys, nullptr, kNo, nullptr, nullptr, ProfileStore::kMachine},
    {"file's default unreadable", kYes, L"?", nullptr, kNo, nullptr, nullptr,
     ProfileStore::kUnknown},
    {"sub-key maps Path64 to HKCU", kYes, nullptr, nullptr, kYes, kUsr, nullptr,
     ProfileStore::kUser},
    {"sub-key maps Path64 to HKLM, the rest to HKCU", kYes, nullptr, nullptr, kYes, kSys, kUsr,
     ProfileStore::kMachine},
    {"sub-key maps the rest, Path64 among it, to HKCU", kYes, nullptr, nullptr, kYes, nullptr, kUsr,
     ProfileStore::kUser},
    {"sub-key's default to HKLM", kYes, kUsr, nullptr, kYes, nullptr, kSys, ProfileStore::kMachine},
    {"sub-key unreadable", kYes, nullptr, nullptr, kBad, nullptr, nullptr, ProfileStore::kUnknown},
    {"empty sub-key: the file", kYes, nullptr, nullptr, kYes, nullptr, nullptr,
     ProfileStore::kFile},
    {"empty sub-key, file's default to HKCU", kYes, kUsr, nullptr, kYes, nullptr, nullptr,
     ProfileStore::kUser},
    {"value and sub-key, both HKLM", kYes, nullptr, kSys, kYes, kSys, nullptr,
     ProfileStore::kMachine},
    {"value to HKLM, sub-key to HKCU", kYes, nullptr, kSys, kYes, kUsr, nullptr,
     ProfileStore::kUser},
    {"value to HKCU, sub-key to HKLM", kYes, nullptr, kUsr, kYes, kSys, nullptr,
     ProfileStore::kUser},
    {"Path64 value of unknown form", kYes, nullptr, nullptr, kYes, L"Brenmoor", nullptr,
     ProfileStore::kUnknown},
};

TEST(ProfileTrustTest, TheMappingIsResolvedAsTheProfileFunctionsDo) {
  for (const MappingCase& c : kMappings) {
    SCOPED_TRACE(c.what);
    EXPECT_STREQ(StoreName(client::ResolveProfileStore(Mapping(c))), StoreName(c.store));
  }
}

constexpr wchar_t kUser[] = L"S-1-5-21-1-2-3-1001";

TEST(ProfileTrustTest, FileFolderAndMappingMustAllBeTrusted) {
  PSID user = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(kUser, &user));
  client::ProcessIdentity identity(user, nullptr);
  LocalFree(user);

  // win.ini and C:\Windows as a default installation keeps them, and as Wine
  // reports every file; then one write-type right too many each.
  const std::wstring installed_file = L"O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
  const std::wstring installed_folder =
      L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
      L"D:(A;;FA;;;SY)(A;;0x1301bf;;;BA)(A;;0x1200a9;;;BU)";
  const std::wstring wine =
      std::wstring(L"O:") + kUser + L"D:(A;;FA;;;SY)(A;;FA;;;" + kUser + L")(A;;0x1200a9;;;WD)";
  const std::wstring users_write = L"O:SYD:(A;;FA;;;SY)(A;;0x1301bf;;;BU)";
  const std::wstring users_own = L"O:BUD:(A;;FA;;;SY)";
  const std::wstring users_add_file = L"O:SYD:(A;;FA;;;SY)(A;;0x1200ab;;;BU)";
  struct Objects {
    const char* what;
    std::wstring file, folder;
    DWORD file_attributes;
    bool trusted;
  };
  const Objects objects[] = {
      {"as installed", installed_file, installed_folder, FILE_ATTRIBUTE_ARCHIVE, true},
      {"as Wine reports them", wine, wine, FILE_ATTRIBUTE_ARCHIVE, true},
      {"Users may write win.ini", users_write, installed_folder, FILE_ATTRIBUTE_ARCHIVE, false},
      {"win.ini owned by Users", users_own, installed_folder, FILE_ATTRIBUTE_ARCHIVE, false},
      {"Users may add files to the folder", installed_file, users_add_file, FILE_ATTRIBUTE_ARCHIVE,
       false},
      {"win.ini a link", installed_file, installed_folder, FILE_ATTRIBUTE_REPARSE_POINT, false},
  };
  // Every descriptor case with every mapping case: trusted only when both are.
  for (const Objects& o : objects) {
    Descriptor file(o.file);
    Descriptor folder(o.folder);
    ASSERT_TRUE(file.ok() && folder.ok()) << o.what;
    for (const MappingCase& m : kMappings) {
      SCOPED_TRACE(testing::Message() << o.what << ", " << m.what);
      const bool machine = m.store == ProfileStore::kFile || m.store == ProfileStore::kMachine;
      EXPECT_EQ(
          client::IsProfileTrusted({o.file_attributes, file.get()},
                                   {FILE_ATTRIBUTE_DIRECTORY, folder.get()}, identity, Mapping(m)),
          o.trusted && machine);
    }
  }
  // Objects that could not be read.
  Descriptor good(installed_file);
  const ProfileMapping none;
  EXPECT_FALSE(client::IsProfileTrusted({FILE_ATTRIBUTE_ARCHIVE, nullptr},
                                        {FILE_ATTRIBUTE_DIRECTORY, good.get()}, identity, none));
  EXPECT_FALSE(client::IsProfileTrusted({INVALID_FILE_ATTRIBUTES, good.get()},
                                        {FILE_ATTRIBUTE_DIRECTORY, good.get()}, identity, none));
  EXPECT_TRUE(client::IsProfileTrusted({FILE_ATTRIBUTE_ARCHIVE, good.get()},
                                       {FILE_ATTRIBUTE_DIRECTORY, good.get()}, identity, none));
}

// A mapping key of the test's own under HKCU, laid out as the one under
// HKEY_LOCAL_MACHINE; deleted afterwards.
class MappingKeyOfOurOwn {
 public:
  MappingKeyOfOurOwn() {
    static int counter = 0;
    root_ = L"Software\\trustlist-tests\\mapping-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++);
    file_key_ = root_ + L"\\win.ini";
  }
  ~MappingKeyOfOurOwn() { RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str()); }
  MappingKeyOfOurOwn(const MappingKeyOfOurOwn&) = delete;
  MappingKeyOfOurOwn& operator=(const MappingKeyOfOurOwn&) = delete;

  // Value `name` (null: unnamed) of sub-key `sub` of the file key ("" for the
  // file key itself).
  bool SetText(const std::wstring& sub, const wchar_t* name, const std::wstring& text) {
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return Set(sub, name, REG_SZ, bytes, static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  bool Set(const std::wstring& sub, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
    std::wstring path = sub.empty() ? file_key_ : file_key_ + L"\\" + sub;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    bool ok = data == nullptr || SetValueExactly(key, name, type, data, size);
    RegCloseKey(key);
    return ok;
  }
  ProfileStore Resolve(const wchar_t* section, const wchar_t* key = L"Path64") const {
    ProfileMapping mapping;
    client::ReadProfileMapping(HKEY_CURRENT_USER, file_key_.c_str(), section, key, &mapping);
    return client::ResolveProfileStore(mapping);
  }

 private:
  std::wstring root_;
  std::wstring file_key_;
};

TEST(ProfileTrustTest, TheMappingIsReadFromTheRegistryAsLaidOut) {
  {
    MappingKeyOfOurOwn none;
    EXPECT_STREQ(StoreName(none.Resolve(L"VeltrixClt")), "file") << "no key at all";
  }
  {
    MappingKeyOfOurOwn m;
    ASSERT_TRUE(m.SetText(L"", L"VeltrixClt", kUsr));
    ASSERT_TRUE(m.SetText(L"", L"Other", kSys));
    EXPECT_STREQ(StoreName(m.Resolve(L"VeltrixClt")), "user");
    EXPECT_STREQ(StoreName(m.Resolve(L"veltrixclt")), "user") << "names know no case";
    EXPECT_STREQ(StoreName(m.Resolve(L"Other")), "machine");
    EXPECT_STREQ(StoreName(m.Resolve(L"Unlisted")), "file");
  }
  {
    MappingKeyOfOurOwn m;
    ASSERT_TRUE(m.SetText(L"", nullptr, kUsr));
    EXPECT_STREQ(StoreName(m.Resolve(L"Unlisted")), "user") << "the file key's unnamed value";
  }
  {
    MappingKeyOfOurOwn m;
    ASSERT_TRUE(m.SetText(L"VeltrixClt", L"Path64", kSys));
    ASSERT_TRUE(m.SetText(L"VeltrixClt", nullptr, kUsr));
    EXPECT_STREQ(StoreName(m.Resolve(L"VeltrixClt")), "machine");
    EXPECT_STREQ(StoreName(m.Resolve(L"VeltrixClt", L"Version")), "user");
    ASSERT_TRUE(m.Set(L"Empty", nullptr, REG_NONE, nullptr, 0));
    EXPECT_STREQ(StoreName(m.Resolve(L"Empty")), "file");
  }
  {
    // Values that are no terminated text: another type, no terminator, too
    // long to read whole.
    MappingKeyOfOurOwn m;
    const DWORD number = 1;
    ASSERT_TRUE(m.Set(L"", L"Number", REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4));
    const wchar_t unterminated[] = {L'S', L'Y', L'S', L':'};
    ASSERT_TRUE(m.Set(L"", L"Cut", REG_SZ, reinterpret_cast<const BYTE*>(unterminated),
                      sizeof(unterminated)));
    ASSERT_TRUE(m.SetText(L"", L"Long", L"SYS:" + std::wstring(client::kMappingUnits, L'x')));
    ASSERT_TRUE(m.SetText(L"", L"Fits", L"SYS:" + std::wstring(client::kMappingUnits - 6, L'x')));
    EXPECT_STREQ(StoreName(m.Resolve(L"Number")), "unknown");
    EXPECT_STREQ(StoreName(m.Resolve(L"Long")), "unknown");
    EXPECT_STREQ(StoreName(m.Resolve(L"Fits")), "machine");
    EXPECT_STREQ(StoreName(m.Resolve(L"Cut")), "unknown");
  }
  {
    // A '\' would reach into another key: nothing is read.
    MappingKeyOfOurOwn m;
    ASSERT_TRUE(m.SetText(L"A\\B", L"Path64", kSys));
    EXPECT_STREQ(StoreName(m.Resolve(L"A\\B")), "unknown");
    EXPECT_STREQ(StoreName(m.Resolve(L"A", L"B\\Path64")), "unknown");
    EXPECT_STREQ(StoreName(m.Resolve(L"")), "unknown");
    EXPECT_STREQ(StoreName(m.Resolve(nullptr)), "unknown");
  }
}

}  // namespace
}  // namespace tl::test
