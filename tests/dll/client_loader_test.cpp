// The client loader and entry table, tested directly: the Common AppData
// lookup over a registry key of the test's own, the manifest folders' access
// list, registration, the three ways Load finds a library, and the entry table
// over both reference clients.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "client/client_entries.h"
#include "client/common_appdata.h"
#include "client/manifest_security.h"
#include "client/manifest_trust.h"
#include "client/module_loader.h"
#include "client/profile_trust.h"
#include "dll_harness.h"
#include "registry_exact.h"
#include "support/temp_dir.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;

// A registry key of the test's own under HKCU, deleted afterwards.
class TestKey {
 public:
  TestKey() {
    static int counter = 0;
    sub_key_ = L"Software\\trustlist-tests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(counter++);
    RegCreateKeyExW(HKEY_CURRENT_USER, sub_key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &key_, nullptr);
  }
  ~TestKey() {
    if (key_ != nullptr) RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_USER, sub_key_.c_str());
  }
  // Stores the bytes exactly as given (registry_exact.h).
  bool Set(const wchar_t* name, DWORD type, const std::vector<uint8_t>& data) {
    return SetValueExactly(key_, name, type, data.empty() ? nullptr : data.data(),
                           static_cast<DWORD>(data.size()));
  }
  const wchar_t* sub_key() const { return sub_key_.c_str(); }

 private:
  std::wstring sub_key_;
  HKEY key_ = nullptr;
};

std::vector<uint8_t> Bytes(const std::wstring& text, bool terminated) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.c_str());
  return std::vector<uint8_t>(p, p + (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
}

TEST(CommonAppDataTest, AcceptsOnlyTerminatedStringsThatFit) {
  SetEnvironmentVariableW(L"TL_TEST_DIR", L"C:\\Env");
  SetEnvironmentVariableW(L"TL_TEST_LONG", std::wstring(300, L'x').c_str());
  std::vector<uint8_t> odd = Bytes(L"C:\\Data", true);
  odd.push_back(0);
  struct Case {
    const char* what;
    DWORD type;
    std::vector<uint8_t> data;
    std::wstring expected;  // empty: refused (result 0)
  };
  const Case cases[] = {
      {"plain string", REG_SZ, Bytes(L"C:\\Data", true), L"C:\\Data"},
      {"expandable string", REG_EXPAND_SZ, Bytes(L"%TL_TEST_DIR%\\x", true), L"C:\\Env\\x"},
      {"reference expanded in REG_SZ too", REG_SZ, Bytes(L"%TL_TEST_DIR%", true), L"C:\\Env"},
      {"longest value that fits", REG_SZ, Bytes(std::wstring(259, L'a'), true),
       std::wstring(259, L'a')},
      {"stored without terminator", REG_SZ, Bytes(L"C:\\Data", false), L""},
      {"odd byte count", REG_SZ, odd, L""},
      {"longer than the buffer", REG_SZ, Bytes(std::wstring(260, L'a'), true), L""},
      {"expansion does not fit", REG_EXPAND_SZ, Bytes(L"%TL_TEST_LONG%", true), L""},
      {"binary", REG_BINARY, Bytes(L"C:\\Data", true), L""},
      {"dword", REG_DWORD, {1, 0, 0, 0}, L""},
      {"empty data", REG_SZ, {}, L""},
      {"only the terminator", REG_SZ, Bytes(L"", true), L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestKey key;
    ASSERT_TRUE(key.Set(L"Common AppData", c.type, c.data));
    wchar_t out[client::kPathUnits];
    out[0] = L'?';
    size_t len = client::ReadFolderValue(HKEY_CURRENT_USER, key.sub_key(), L"Common AppData", out);
    EXPECT_EQ(len, c.expected.size());
    EXPECT_EQ(std::wstring(out), c.expected);
  }
  SetEnvironmentVariableW(L"TL_TEST_DIR", nullptr);
  SetEnvironmentVariableW(L"TL_TEST_LONG", nullptr);
}

TEST(CommonAppDataTest, MissingKeyOrValueGivesNothing) {
  TestKey key;
  wchar_t out[client::kPathUnits];
  out[0] = L'?';
  EXPECT_EQ(client::ReadFolderValue(HKEY_CURRENT_USER, key.sub_key(), L"Common AppData", out), 0u);
  EXPECT_EQ(out[0], L'\0');
  std::wstring missing = std::wstring(key.sub_key()) + L"\\missing";
  EXPECT_EQ(client::ReadFolderValue(HKEY_CURRENT_USER, missing.c_str(), L"Common AppData", out),
            0u);
}

TEST(CommonAppDataTest, MachineValueIsAnExistingFolder) {
  wchar_t out[client::kPathUnits];
  int len = CModuleLoader::GetCommonAppDataPath(out);
  ASSERT_GT(len, 0);
  EXPECT_EQ(static_cast<size_t>(len), wcslen(out));
  DWORD attributes = GetFileAttributesW(out);
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The well-known SID `sid` as a string, for messages and comparison.
std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"?";
  std::wstring s(text);
  LocalFree(text);
  return s;
}

TEST(ManifestSecurityTest, AProtectedListOfFullControlForSystemAndAdminsAndReadForEveryone) {
  client::ManifestSecurity security;
  SECURITY_ATTRIBUTES* attributes = client::BuildManifestSecurity(&security);
  ASSERT_EQ(attributes, &security.attributes);
  EXPECT_EQ(attributes->nLength, sizeof(SECURITY_ATTRIBUTES));
  EXPECT_EQ(attributes->lpSecurityDescriptor, &security.descriptor);
  EXPECT_FALSE(attributes->bInheritHandle);
  EXPECT_TRUE(IsValidSecurityDescriptor(&security.descriptor));

  // Protected: nothing of the parent's inheritable entries applies.
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(&security.descriptor, &control, &revision));
  EXPECT_EQ(revision, static_cast<DWORD>(SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(control & (SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_DEFAULTED |
                       SE_DACL_AUTO_INHERITED | SE_SELF_RELATIVE),
            SE_DACL_PRESENT | SE_DACL_PROTECTED);

  BOOL present = FALSE, defaulted = TRUE;
  PACL acl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(&security.descriptor, &present, &acl, &defaulted));
  ASSERT_TRUE(present);
  EXPECT_FALSE(defaulted);
  ASSERT_NE(acl, nullptr) << "a NULL DACL would grant everyone everything";

  struct Expected {
    const wchar_t* sid;
    DWORD mask;
  };
  const Expected expected[] = {
      {L"S-1-5-18", FILE_ALL_ACCESS},                          // SYSTEM
      {L"S-1-5-32-544", FILE_ALL_ACCESS},                      // BUILTIN\Administrators
      {L"S-1-1-0", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},  // Everyone (0x1200a9)
  };
  ASSERT_EQ(acl->AceCount, 3);
  bool seen[3] = {};
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* raw = nullptr;
    ASSERT_TRUE(GetAce(acl, i, &raw));
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << "ACE " << i;
    EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << "ACE " << i;
    std::wstring sid = SidText(&ace->SidStart);
    bool known = false;
    for (int k = 0; k < 3; ++k) {
      if (sid != expected[k].sid) continue;
      known = true;
      EXPECT_FALSE(seen[k]) << "duplicate ACE for " << k;
      seen[k] = true;
      EXPECT_EQ(ace->Mask, expected[k].mask) << "ACE " << i;
    }
    EXPECT_TRUE(known) << "unexpected trustee in ACE " << i;
    if (sid == L"S-1-1-0") {
      const DWORD kWriteLike = GENERIC_WRITE | GENERIC_ALL | WRITE_DAC | WRITE_OWNER | DELETE |
                               FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES |
                               FILE_WRITE_EA | FILE_DELETE_CHILD;
      EXPECT_EQ(ace->Mask & kWriteLike, 0u) << "Everyone must not write";
    }
  }
  EXPECT_TRUE(seen[0] && seen[1] && seen[2]);

  // With the owner that creation gives it, the list passes the manifest check.
  PSID system = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-18", &system));
  SECURITY_DESCRIPTOR owned = security.descriptor;
  ASSERT_TRUE(SetSecurityDescriptorOwner(&owned, system, FALSE));
  EXPECT_TRUE(client::IsTrustedObject(FILE_ATTRIBUTE_DIRECTORY, &owned,
                                      client::ProcessIdentity(nullptr, nullptr)));
  LocalFree(system);

  // Building again over the same object replaces the list (no leak, no stale list).
  PACL first = security.acl;
  ASSERT_NE(client::BuildManifestSecurity(&security), nullptr);
  EXPECT_NE(security.acl, nullptr);
  (void)first;
  EXPECT_EQ(client::BuildManifestSecurity(nullptr), nullptr);
}

// A module name of this process's own, so that profile sections never collide.
std::wstring UniqueName(const wchar_t* stem) {
  static int counter = 0;
  return std::wstring(stem) + std::to_wstring(GetCurrentProcessId()) + L"x" +
         std::to_wstring(counter++);
}

std::wstring Profile(const std::wstring& section, const wchar_t* key) {
  wchar_t value[MAX_PATH] = {};
  GetProfileStringW(section.c_str(), key, L"", value, MAX_PATH);
  return value;
}

std::wstring Manifest(const CModuleLoader& loader, const wchar_t* key) {
  wchar_t value[MAX_PATH] = {};
  GetPrivateProfileStringW(L"Image", key, L"", value, MAX_PATH, loader.manifest_file());
  return value;
}

class ModuleLoaderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Whatever a test registered in the profile goes again.
    for (const std::wstring& name : names_) WriteProfileStringW(name.c_str(), nullptr, nullptr);
  }
  std::wstring Name(const wchar_t* stem = L"TlClient") {
    names_.push_back(UniqueName(stem));
    return names_.back();
  }
  // A copy of the full reference client at `dir`\`file`.
  fs::path ClientCopy(const fs::path& dir, const std::wstring& file) {
    fs::create_directories(dir);
    fs::copy_file(ArtifactPath(L"client\\VeltrixClt.dll"), dir / file,
                  fs::copy_options::overwrite_existing);
    return dir / file;
  }
  static std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
  }

  SharedConfigLock lock_;
  TempDir tmp_;
  std::vector<std::wstring> names_;
};

TEST_F(ModuleLoaderTest, ConstructionMakesTheManifestFolders) {
  std::wstring name = Name();
  fs::path base = tmp_.path() / L"appdata";
  CModuleLoader loader(name.c_str(), base.c_str());
  EXPECT_STREQ(loader.module_name(), name.c_str());
  fs::path dir = base / L"Brenmoor" / L"Manifest";
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_EQ(fs::path(loader.manifest_dir()), dir);
  EXPECT_EQ(fs::path(loader.manifest_file()), dir / (name + L".manifest"));
}

TEST_F(ModuleLoaderTest, RegisterWritesProfileAndManifestAndUnregisterRemovesThem) {
  std::wstring name = Name();
  CModuleLoader loader(name.c_str(), tmp_.path().c_str());
  EXPECT_EQ(loader.Register(L"C:\\Product\\client.dll", L"2.5.1"), 1);
  EXPECT_EQ(Profile(name, L"Path64"), L"C:\\Product\\client.dll");
  EXPECT_EQ(Profile(name, L"Version"), L"2.5.1");
  EXPECT_EQ(Manifest(loader, L"Path64"), L"C:\\Product\\client.dll");
  EXPECT_EQ(Manifest(loader, L"Version"), L"2.5.1");

  // A read-only manifest is removed all the same, and with it the folder.
  ASSERT_TRUE(SetFileAttributesW(loader.manifest_file(), FILE_ATTRIBUTE_READONLY));
  EXPECT_NE(loader.Unregister(), 0);
  EXPECT_FALSE(fs::exists(loader.manifest_file()));
  EXPECT_FALSE(fs::exists(loader.manifest_dir()));
  EXPECT_TRUE(fs::is_directory(tmp_.path() / L"Brenmoor"));
  EXPECT_EQ(Profile(name, L"Path64"), L"");
  EXPECT_EQ(Profile(name, L"Version"), L"");
}

TEST_F(ModuleLoaderTest, UnregisterKeepsAFolderThatHoldsOtherFiles) {
  std::wstring name = Name();
  CModuleLoader loader(name.c_str(), tmp_.path().c_str());
  ASSERT_EQ(loader.Register(L"C:\\x.dll", L"1"), 1);
  fs::path other = fs::path(loader.manifest_dir()) / L"Other.manifest";
  WriteAll(other, {'x'});
  EXPECT_EQ(loader.Unregister(), 0);
  EXPECT_FALSE(fs::exists(loader.manifest_file()));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_EQ(Profile(name, L"Path64"), L"");
}

TEST_F(ModuleLoaderTest, WithoutCommonAppDataOnlyTheProfileIsUsed) {
  std::wstring name = Name();
  CModuleLoader loader(name.c_str(), nullptr);
  EXPECT_STREQ(loader.manifest_file(), L"");
  EXPECT_EQ(loader.Register(L"C:\\p.dll", L"3"), 0);
  EXPECT_EQ(Profile(name, L"Path64"), L"C:\\p.dll");
  EXPECT_EQ(Profile(name, L"Version"), L"3");
  EXPECT_NE(loader.Unregister(), 0);
  EXPECT_EQ(Profile(name, L"Path64"), L"");
}

TEST_F(ModuleLoaderTest, ManifestPathMustFitWholeOrThereIsNone) {
  std::wstring name = Name();
  // <base>\Brenmoor\Manifest\<name>.manifest: 9 + 9 + 1 + name + 9 units after base.
  const size_t tail = 9 + 9 + 1 + name.size() + 9;
  std::wstring root = tmp_.path().wstring() + L"\\";
  ASSERT_LT(root.size() + tail, 259u);
  std::wstring fits = root + std::wstring(259 - tail - root.size(), L'f');
  std::wstring too_long = root + std::wstring(260 - tail - root.size(), L'g');

  CModuleLoader fitting(name.c_str(), fits.c_str());
  EXPECT_EQ(wcslen(fitting.manifest_file()), 259u);

  CModuleLoader refused(name.c_str(), too_long.c_str());
  EXPECT_STREQ(refused.manifest_file(), L"");
  EXPECT_FALSE(fs::exists(too_long)) << "no folder is made for a path that cannot hold the file";
  EXPECT_EQ(refused.Register(L"C:\\q.dll", L"1"), 0);
}

TEST_F(ModuleLoaderTest, LoadTakesTheFirstPlaceThatHasTheClient) {
  // Beside the library, then the manifest, then the profile; each later place
  // is used only when every earlier one has nothing.
  struct Case {
    const char* what;
    bool beside, in_manifest, in_profile;
    const wchar_t* expected;  // sub-folder of the copy loaded, null: none
  };
  const Case cases[] = {
      {"all three", true, true, true, L"lib"},
      {"manifest and profile", false, true, true, L"m"},
      {"profile only", false, false, true, L"p"},
      {"nowhere", false, false, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::wstring name = Name();
    fs::path lib = tmp_.path() / L"lib";
    if (c.beside) ClientCopy(lib, name + L".dll");
    CModuleLoader loader(name.c_str(), (tmp_.path() / L"appdata").c_str(), lib.c_str());
    EXPECT_STREQ(loader.library_dir(), lib.c_str());
    if (c.in_manifest) {
      fs::path m = ClientCopy(tmp_.path() / L"m", name + L".dll");
      WritePrivateProfileStringW(L"Image", L"Path64", m.c_str(), loader.manifest_file());
    }
    if (c.in_profile) {
      fs::path p = ClientCopy(tmp_.path() / L"p", name + L".dll");
      WriteProfileStringW(name.c_str(), L"Path64", p.c_str());
    }
    HMODULE module = loader.Load();
    if (c.expected == nullptr) {
      EXPECT_EQ(module, nullptr);
      continue;
    }
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(fs::equivalent(ModulePath(module), tmp_.path() / c.expected / (name + L".dll")));
    FreeLibrary(module);
    loader.Unregister();
  }
}

TEST_F(ModuleLoaderTest, LoadFindsTheFileNameInTheApplicationFolderAndSystem32) {
  // Names of this process's own, so that nothing else finds these copies in
  // the shared folders; removed again afterwards.
  wchar_t exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
  wchar_t system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  for (const fs::path& folder : {fs::path(exe).parent_path(), fs::path(system)}) {
    SCOPED_TRACE(Utf8(folder));
    std::wstring name = Name();
    fs::path copy = ClientCopy(folder, name + L".dll");
    CModuleLoader loader(name.c_str(), nullptr, (tmp_.path() / L"lib").c_str());
    HMODULE module = loader.Load();
    EXPECT_NE(module, nullptr);
    if (module != nullptr) {
      EXPECT_TRUE(fs::equivalent(ModulePath(module), copy));
      FreeLibrary(module);
    }
    fs::remove(copy);
  }
}

TEST_F(ModuleLoaderTest, LoadTakesANameWithADotAsItIs) {
  std::wstring name = Name() + L".plugin";
  fs::path copy = ClientCopy(tmp_.path() / L"lib", name);
  ClientCopy(tmp_.path() / L"lib", name + L".dll");  // never looked for
  CModuleLoader loader(name.c_str(), nullptr, (tmp_.path() / L"lib").c_str());
  HMODULE module = loader.Load();
  ASSERT_NE(module, nullptr);
  EXPECT_TRUE(fs::equivalent(ModulePath(module), copy));
  FreeLibrary(module);
}

TEST_F(ModuleLoaderTest, AManifestInTheFoldersTheLoaderMadeIsTrustedAndUsed) {
  std::wstring name = Name();
  fs::path in_manifest = ClientCopy(tmp_.path() / L"m", name + L".dll");
  fs::path in_profile = ClientCopy(tmp_.path() / L"p", name + L".dll");
  CModuleLoader loader(name.c_str(), (tmp_.path() / L"appdata").c_str(), nullptr);
  EXPECT_FALSE(loader.ManifestTrusted()) << "no manifest file yet";
  ASSERT_EQ(loader.Register(in_manifest.c_str(), L"1"), 1);
  EXPECT_TRUE(loader.ManifestTrusted());
  WriteProfileStringW(name.c_str(), L"Path64", in_profile.c_str());

  HMODULE module = loader.Load();
  ASSERT_NE(module, nullptr);
  EXPECT_TRUE(fs::equivalent(ModulePath(module), in_manifest));
  FreeLibrary(module);
  loader.Unregister();
}

// A loader whose manifest fails the trust check, whatever the disk says.
class DistrustingLoader : public CModuleLoader {
 public:
  using CModuleLoader::CModuleLoader;
  bool ManifestTrusted() const override { return false; }
};

TEST_F(ModuleLoaderTest, AnUntrustedManifestIsIgnoredAsIfAbsent) {
  std::wstring name = Name();
  fs::path in_manifest = ClientCopy(tmp_.path() / L"m", name + L".dll");
  fs::path in_profile = ClientCopy(tmp_.path() / L"p", name + L".dll");
  DistrustingLoader loader(name.c_str(), (tmp_.path() / L"appdata").c_str(), nullptr);
  ASSERT_EQ(loader.Register(in_manifest.c_str(), L"1"), 1);
  WriteProfileStringW(name.c_str(), L"Path64", nullptr);
  EXPECT_EQ(loader.Load(), nullptr) << "the manifest's path is not taken";

  WriteProfileStringW(name.c_str(), L"Path64", in_profile.c_str());
  HMODULE module = loader.Load();
  ASSERT_NE(module, nullptr);
  EXPECT_TRUE(fs::equivalent(ModulePath(module), in_profile));
  FreeLibrary(module);
  loader.Unregister();
}

// A value of HKEY_LOCAL_MACHINE's IniFileMapping\win.ini for one section, and
// the key it sends the section to holding Path64 as well, so that the profile
// functions find the path whether or not they follow the mapping. Removed
// again on destruction.
class MachineMapping {
 public:
  MachineMapping(const std::wstring& section, HKEY target_root, const std::wstring& target_key,
                 const std::wstring& mapping, const std::wstring& path)
      : section_(section), target_root_(target_root), target_key_(target_key) {
    HKEY key = nullptr;
    ok_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE, client::kWinIniMappingKey, 0, nullptr, 0,
                          KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS;
    if (!ok_) return;
    ok_ = RegSetValueExW(
              key, section.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(mapping.c_str()),
              static_cast<DWORD>((mapping.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(key);
    HKEY target = nullptr;
    ok_ = ok_ && RegCreateKeyExW(target_root, target_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &target, nullptr) == ERROR_SUCCESS;
    if (!ok_) return;
    ok_ = RegSetValueExW(target, L"Path64", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                         static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(target);
  }
  ~MachineMapping() {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, client::kWinIniMappingKey, section_.c_str());
    RegDeleteTreeW(target_root_, target_key_.c_str());
  }
  MachineMapping(const MachineMapping&) = delete;
  MachineMapping& operator=(const MachineMapping&) = delete;
  bool ok() const { return ok_; }

 private:
  std::wstring section_;
  HKEY target_root_;
  std::wstring target_key_;
  bool ok_ = false;
};

TEST_F(ModuleLoaderTest, AProfileSectionMappedToTheUserHiveIsIgnored) {
  // The profile is the only place holding the client in every case.
  struct Case {
    const char* what;
    HKEY target_root;  // null: no mapping
    const wchar_t* prefix;
    bool loaded;
  };
  const Case cases[] = {
      {"kept in the file", nullptr, nullptr, true},
      {"mapped to HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE, L"SYS:", true},
      {"mapped to HKEY_CURRENT_USER", HKEY_CURRENT_USER, L"USR:", false},
      {"mapped to HKEY_CURRENT_USER, written to both", HKEY_CURRENT_USER, L"!USR:", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::wstring name = Name();
    fs::path in_profile = ClientCopy(tmp_.path() / L"p", name + L".dll");
    // Written to the file before the mapping exists, so that it lands there.
    WriteProfileStringW(name.c_str(), L"Path64", in_profile.c_str());
    std::unique_ptr<MachineMapping> mapping;
    if (c.target_root != nullptr) {
      // SYS: is relative to HKEY_LOCAL_MACHINE\SOFTWARE, USR: to HKEY_CURRENT_USER.
      const std::wstring relative = L"trustlist-tests\\" + name;
      const std::wstring key =
          c.target_root == HKEY_LOCAL_MACHINE ? L"SOFTWARE\\" + relative : L"Software\\" + relative;
      const std::wstring text =
          std::wstring(c.prefix) + (c.target_root == HKEY_LOCAL_MACHINE ? relative : key);
      mapping =
          std::make_unique<MachineMapping>(name, c.target_root, key, text, in_profile.wstring());
      ASSERT_TRUE(mapping->ok()) << "the mapping could not be written";
    }
    CModuleLoader loader(name.c_str(), nullptr, nullptr);
    EXPECT_EQ(loader.ProfileTrusted(), c.loaded);
    HMODULE module = loader.Load();
    EXPECT_EQ(module != nullptr, c.loaded);
    if (module != nullptr) {
      EXPECT_TRUE(fs::equivalent(ModulePath(module), in_profile));
      FreeLibrary(module);
    }
  }
}

// A loader whose profile fails the trust check, whatever the disk says.
class ProfileDistrustingLoader : public CModuleLoader {
 public:
  using CModuleLoader::CModuleLoader;
  bool ProfileTrusted() const override { return false; }
};

TEST_F(ModuleLoaderTest, AnUntrustedProfileIsIgnoredAsIfAbsent) {
  std::wstring name = Name();
  fs::path in_profile = ClientCopy(tmp_.path() / L"p", name + L".dll");
  WriteProfileStringW(name.c_str(), L"Path64", in_profile.c_str());
  CModuleLoader trusting(name.c_str(), nullptr, nullptr);
  HMODULE module = trusting.Load();
  ASSERT_NE(module, nullptr) << "the profile's own place, as Wine keeps win.ini";
  FreeLibrary(module);
  ProfileDistrustingLoader loader(name.c_str(), nullptr, nullptr);
  EXPECT_EQ(loader.Load(), nullptr);
}

TEST_F(ModuleLoaderTest, NamesThatAreNoPlainFileNameAndRelativeRecordsLoadNothing) {
  // Every one of these would be found by the ordinary search from the current
  // folder; none of them is where an administrator put it.
  std::wstring name = Name();
  fs::path cwd = tmp_.path() / L"cwd";
  ClientCopy(cwd, name + L".dll");
  struct Case {
    const char* what;
    std::wstring module_name;
    std::wstring recorded;  // in the manifest and the profile
  };
  const Case cases[] = {
      {"dot-relative recorded", name, L".\\" + name + L".dll"},
      {"drive-relative recorded", name, cwd.root_name().wstring() + name + L".dll"},
      {"rooted without drive", name, cwd.wstring().substr(2) + L"\\" + name + L".dll"},
      {"name leading out of the library's folder", L"..\\cwd\\" + name, L""},
      {"name that is a path", (cwd / name).wstring(), L""},
  };
  wchar_t old_cwd[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, old_cwd), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(cwd.c_str()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CModuleLoader loader(c.module_name.c_str(), (tmp_.path() / L"appdata").c_str(),
                         (tmp_.path() / L"lib").c_str());
    names_.push_back(c.module_name);
    if (!c.recorded.empty()) {
      ASSERT_EQ(loader.Register(c.recorded.c_str(), L"1"), 1);
      HMODULE control = LoadLibraryW(c.recorded.c_str());
      EXPECT_NE(control, nullptr) << "the ordinary search finds the planted copy";
      if (control != nullptr) FreeLibrary(control);
    }
    HMODULE module = loader.Load();
    if (module != nullptr) {
      ADD_FAILURE() << "loaded " << Utf8(ModulePath(module));
      FreeLibrary(module);
    }
    loader.Unregister();
  }
  SetCurrentDirectoryW(old_cwd);
}

class ClientEntriesTest : public ::testing::Test {
 protected:
  void TearDown() override { client::ReleaseClientEntries(); }
  TempDir tmp_;
};

TEST_F(ClientEntriesTest, NoModuleMeansNoTable) {
  EXPECT_EQ(client::LoadClientEntries(nullptr), 0);
  EXPECT_EQ(client::ClientModuleHandle(), nullptr);
  client::NotifyClientChange();  // nothing to call, nothing happens
  for (size_t i = 0; i < client::kClientEntryCount; ++i) EXPECT_EQ(client::ClientEntry(i), nullptr);
}

TEST_F(ClientEntriesTest, ResolvesByOrdinalNotifiesAndReleases) {
  struct Variant {
    const wchar_t* artifact;
    bool has_notification;
  };
  for (const Variant& v :
       {Variant{L"client\\VeltrixClt.dll", true}, Variant{L"client_no16\\VeltrixClt.dll", false}}) {
    SCOPED_TRACE(v.has_notification ? "full client" : "client without ordinal 16");
    ClientLog log(tmp_.path() / (v.has_notification ? L"full.log" : L"no16.log"));
    fs::path path = ArtifactPath(v.artifact);
    HMODULE ours = LoadLibraryW(path.c_str());  // keeps it loaded past the release
    ASSERT_NE(ours, nullptr);
    HMODULE table_ref = LoadLibraryW(path.c_str());
    ASSERT_EQ(client::LoadClientEntries(table_ref), 1);
    EXPECT_EQ(client::ClientModuleHandle(), table_ref);
    for (size_t i = 0; i < client::kClientEntryCount; ++i) {
      FARPROC direct = GetProcAddress(ours, MAKEINTRESOURCEA(client::kClientOrdinals[i]));
      EXPECT_EQ(client::ClientEntry(i), direct) << "ordinal " << client::kClientOrdinals[i];
      if (i != client::kChangeNotificationIndex || v.has_notification) {
        EXPECT_NE(direct, nullptr) << "ordinal " << client::kClientOrdinals[i];
      }
    }
    EXPECT_EQ(client::ClientEntry(client::kChangeNotificationIndex) != nullptr, v.has_notification);

    client::NotifyClientChange();
    client::NotifyClientChange();
    auto count = reinterpret_cast<uint32_t (*)()>(
        reinterpret_cast<void*>(GetProcAddress(ours, MAKEINTRESOURCEA(10))));
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count(), v.has_notification ? 2u : 0u);
    EXPECT_EQ(log.Count("notify"), v.has_notification ? 2 : 0);

    client::ReleaseClientEntries();
    EXPECT_EQ(client::ClientModuleHandle(), nullptr);
    for (size_t i = 0; i < client::kClientEntryCount; ++i) {
      EXPECT_EQ(client::ClientEntry(i), nullptr);
    }
    EXPECT_EQ(count(), v.has_notification ? 2u : 0u) << "still loaded through our own reference";
    FreeLibrary(ours);
    EXPECT_EQ(log.Count("detach"), 1);
  }
}

}  // namespace
}  // namespace tl::test
