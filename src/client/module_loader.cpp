#include "client/module_loader.h"

#include <cwchar>

#include "client/client_search.h"
#include "client/manifest_security.h"
#include "client/manifest_trust.h"
#include "client/profile_trust.h"

namespace tl {

namespace {

constexpr wchar_t kPathValueName[] = L"Path64";
constexpr wchar_t kVersionValueName[] = L"Version";
constexpr wchar_t kManifestSection[] = L"Image";
constexpr wchar_t kVendorFolder[] = L"\\Brenmoor";
constexpr wchar_t kManifestFolder[] = L"\\Manifest";
constexpr wchar_t kManifestSuffix[] = L".manifest";

template <size_t N>
constexpr size_t Units(const wchar_t (&)[N]) {
  return N - 1;
}

// Copies at most cap - 1 units of `src` and terminates.
void CopyCut(wchar_t* dst, size_t cap, const wchar_t* src) {
  size_t n = 0;
  if (src != nullptr) {
    while (n + 1 < cap && src[n] != L'\0') {
      dst[n] = src[n];
      ++n;
    }
  }
  dst[n] = L'\0';
}

void Append(wchar_t* dst, size_t& len, const wchar_t* src) {
  for (; *src != L'\0'; ++src) dst[len++] = *src;
  dst[len] = L'\0';
}

}  // namespace

CModuleLoader::CModuleLoader(const wchar_t* module_name) {
  client::OwnModuleFolder(libraryDir_);
  wchar_t common_app_data[client::kPathUnits];
  if (GetCommonAppDataPath(common_app_data) == 0) common_app_data[0] = L'\0';
  Init(module_name, common_app_data);
}

CModuleLoader::CModuleLoader(const wchar_t* module_name, const wchar_t* common_app_data) {
  client::OwnModuleFolder(libraryDir_);
  Init(module_name, common_app_data);
}

CModuleLoader::CModuleLoader(const wchar_t* module_name, const wchar_t* common_app_data,
                             const wchar_t* library_dir) {
  CopyCut(libraryDir_, client::kPathUnits, library_dir);
  Init(module_name, common_app_data);
}

void CModuleLoader::Init(const wchar_t* module_name, const wchar_t* common_app_data) {
  manifestFile_[0] = L'\0';
  manifestDir_[0] = L'\0';
  CopyCut(moduleName_, client::kPathUnits, module_name);
  CopyCut(pathValueName_, kPathValueNameUnits, kPathValueName);
  if (common_app_data == nullptr || common_app_data[0] == L'\0') return;

  // The whole file name must fit before any folder is made: a cut path would
  // name a folder or file somewhere else than the manifest's place.
  size_t base_len = wcsnlen(common_app_data, client::kPathUnits);
  size_t name_len = wcslen(moduleName_);
  size_t file_len = base_len + Units(kVendorFolder) + Units(kManifestFolder) + 1 + name_len +
                    Units(kManifestSuffix);
  if (base_len >= client::kPathUnits || file_len >= client::kPathUnits) return;

  client::ManifestSecurity security;
  SECURITY_ATTRIBUTES* attributes = client::BuildManifestSecurity(&security);

  wchar_t path[client::kPathUnits];
  size_t len = 0;
  path[0] = L'\0';
  Append(path, len, common_app_data);
  // Without the access list the folders are not made at all: made with a
  // default or empty list they could be writable by everyone. Folders that
  // exist already keep their own security; the results are not needed, since
  // a missing folder only makes the later manifest reads and writes fail.
  if (attributes != nullptr) CreateDirectoryW(path, attributes);
  Append(path, len, kVendorFolder);
  if (attributes != nullptr) CreateDirectoryW(path, attributes);
  Append(path, len, kManifestFolder);
  if (attributes != nullptr) CreateDirectoryW(path, attributes);

  CopyCut(manifestDir_, client::kPathUnits, path);
  Append(path, len, L"\\");
  Append(path, len, moduleName_);
  Append(path, len, kManifestSuffix);
  CopyCut(manifestFile_, client::kPathUnits, path);
}

int CModuleLoader::Register(const wchar_t* path, const wchar_t* version) {
  WriteProfileStringW(moduleName_, pathValueName_, path);
  WriteProfileStringW(moduleName_, kVersionValueName, version);
  if (manifestFile_[0] == L'\0') return 0;
  WritePrivateProfileStringW(kManifestSection, pathValueName_, path, manifestFile_);
  WritePrivateProfileStringW(kManifestSection, kVersionValueName, version, manifestFile_);
  return 1;
}

int CModuleLoader::Unregister() {
  int result = WriteProfileStringW(moduleName_, nullptr, nullptr);
  if (manifestFile_[0] == L'\0') return result;
  SetFileAttributesW(manifestFile_, FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(manifestFile_);
  return RemoveDirectoryW(manifestDir_);
}

HMODULE CModuleLoader::Load() {
  wchar_t file_name[client::kPathUnits];
  wchar_t path[client::kPathUnits];
  // A name that is no plain file name is looked for nowhere by itself: joined
  // to a folder it could lead out of it.
  if (client::ClientFileName(moduleName_, file_name)) {
    if (client::JoinFolder(libraryDir_, file_name, path)) {
      HMODULE module = LoadLibraryExW(path, nullptr, client::kAbsolutePathSearch);
      if (module != nullptr) return module;
    }
    HMODULE module = LoadLibraryExW(file_name, nullptr, client::kFileNameSearch);
    if (module != nullptr) return module;
  }

  if (ManifestTrusted()) {
    path[0] = L'\0';
    GetPrivateProfileStringW(kManifestSection, pathValueName_, L"", path, client::kPathUnits,
                             manifestFile_);
    HMODULE module = LoadRecorded(path);
    if (module != nullptr) return module;
  }

  if (!ProfileTrusted()) return nullptr;
  path[0] = L'\0';
  GetProfileStringW(moduleName_, pathValueName_, L"", path, client::kPathUnits);
  return LoadRecorded(path);
}

HMODULE CModuleLoader::LoadRecorded(const wchar_t* path) const {
  // A relative path would go through the search that the first places avoid;
  // one that filled the buffer may have been cut.
  if (!client::IsAbsolutePath(path) ||
      wcsnlen(path, client::kPathUnits) + 1 >= client::kPathUnits) {
    return nullptr;
  }
  return LoadLibraryExW(path, nullptr, client::kAbsolutePathSearch);
}

bool CModuleLoader::ManifestTrusted() const {
  if (manifestFile_[0] == L'\0') return false;
  wchar_t vendor_dir[client::kPathUnits];
  CopyCut(vendor_dir, client::kPathUnits, manifestDir_);
  wchar_t* slash = wcsrchr(vendor_dir, L'\\');
  if (slash == nullptr) return false;
  *slash = L'\0';
  client::ProcessIdentity identity;
  return client::IsTrustedPath(manifestFile_, identity) &&
         client::IsTrustedPath(manifestDir_, identity) &&
         client::IsTrustedPath(vendor_dir, identity);
}

bool CModuleLoader::ProfileTrusted() const {
  client::ProcessIdentity identity;
  return client::IsProfileTrustedHere(moduleName_, pathValueName_, identity);
}

int CModuleLoader::GetCommonAppDataPath(wchar_t (&out)[client::kPathUnits]) {
  return static_cast<int>(client::ReadFolderValue(HKEY_LOCAL_MACHINE, client::kShellFoldersKey,
                                                  client::kCommonAppDataValue, out));
}

}  // namespace tl
