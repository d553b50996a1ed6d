#include "client/module_loader.h"

#include <cwchar>

#include "client/manifest_security.h"

namespace tl {

namespace {

constexpr wchar_t kPathValueName[] = L"Path64";
constexpr wchar_t kVersionValueName[] = L"Version";
constexpr wchar_t kManifestSection[] = L"Image";
constexpr wchar_t kVendorFolder[] = L"\\Brenmoor";
constexpr wchar_t kManifestFolder[] = L"\\Manifest";
constexpr wchar_t kManifestSuffix[] = L".manifest";
constexpr wchar_t kLibrarySuffix[] = L".dll";

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
  wchar_t common_app_data[client::kPathUnits];
  if (GetCommonAppDataPath(common_app_data) == 0) common_app_data[0] = L'\0';
  Init(module_name, common_app_data);
}

CModuleLoader::CModuleLoader(const wchar_t* module_name, const wchar_t* common_app_data) {
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
  wchar_t buffer[client::kPathUnits];
  size_t name_len = wcslen(moduleName_);
  if (wcschr(moduleName_, L'.') != nullptr) {
    CopyCut(buffer, client::kPathUnits, moduleName_);
  } else if (name_len + Units(kLibrarySuffix) < client::kPathUnits) {
    size_t len = 0;
    buffer[0] = L'\0';
    Append(buffer, len, moduleName_);
    Append(buffer, len, kLibrarySuffix);
  } else {
    buffer[0] = L'\0';  // the name with ".dll" would not fit: no plain attempt
  }
  if (buffer[0] != L'\0') {
    HMODULE module = LoadLibraryW(buffer);
    if (module != nullptr) return module;
  }

  buffer[0] = L'\0';
  if (manifestFile_[0] != L'\0') {
    GetPrivateProfileStringW(kManifestSection, pathValueName_, L"", buffer, client::kPathUnits,
                             manifestFile_);
  }
  if (buffer[0] == L'\0') {
    GetProfileStringW(moduleName_, pathValueName_, moduleName_, buffer, client::kPathUnits);
  }
  if (buffer[0] == L'\0') return nullptr;
  return LoadLibraryW(buffer);
}

int CModuleLoader::GetCommonAppDataPath(wchar_t (&out)[client::kPathUnits]) {
  return static_cast<int>(client::ReadFolderValue(HKEY_LOCAL_MACHINE, client::kShellFoldersKey,
                                                  client::kCommonAppDataValue, out));
}

}  // namespace tl
