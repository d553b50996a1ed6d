// CModuleLoader: finds, loads and registers the product's client library.
//
// The library is looked for only where an administrator put it (see
// client/client_search.h), in this order: beside the trust list library, in
// the application folder and System32, at the absolute path recorded in the
// manifest file <Common AppData>\Brenmoor\Manifest\<name>.manifest (section
// "Image", key "Path64") when that file and its folders are trusted (see
// client/manifest_trust.h), then at the absolute path recorded in the profile
// win.ini (section <name>, key "Path64") when win.ini is trusted as the
// manifest is and no IniFileMapping sends that key to the user's registry
// (see client/profile_trust.h). Register records a path and version in both
// places; Unregister removes them again.
#pragma once

#include <windows.h>

#include <cstddef>

#include "client/common_appdata.h"

namespace tl {

class CModuleLoader {
 public:
  static constexpr size_t kPathValueNameUnits = 32;

  // `module_name` is the client's base name ("VeltrixClt"), cut to 259 units.
  // The manifest folders are made under the machine's Common AppData folder
  // when they are missing.
  explicit CModuleLoader(const wchar_t* module_name);
  // The same with the Common AppData folder given; null or empty means there is
  // none (no manifest file, no folders).
  CModuleLoader(const wchar_t* module_name, const wchar_t* common_app_data);
  // The same with the folder of the trust list library given as well, where
  // the client is looked for first; null or empty means none. The other
  // constructors take the folder of the module this code is linked into.
  CModuleLoader(const wchar_t* module_name, const wchar_t* common_app_data,
                const wchar_t* library_dir);
  virtual ~CModuleLoader() = default;

  CModuleLoader(const CModuleLoader&) = delete;
  CModuleLoader& operator=(const CModuleLoader&) = delete;

  // Records `path` and `version` in the profile and, when there is a manifest
  // file, in it. Returns 1 when the manifest file was written, 0 when only the
  // profile was. The results of the single writes are not examined.
  virtual int Register(const wchar_t* path, const wchar_t* version);
  // Removes the profile section and, when there is a manifest file, the file
  // (also when read-only) and the Manifest folder. Returns the result of the
  // last call made: the profile write, or the folder removal (0 when the folder
  // stays, for example because other files remain in it).
  virtual int Unregister();
  // Loads the client library from the first place that has it; null when none
  // does. The caller owns the handle and releases it with FreeLibrary.
  virtual HMODULE Load();

  // Whether the manifest file, its folder and the vendor folder above it may be
  // believed (client/manifest_trust.h); false when there is no manifest file.
  // Load reads the manifest only when this says so. Virtual so that the
  // consequence of a refusal can be shown where the file system (Wine's)
  // cannot produce an untrusted descriptor.
  virtual bool ManifestTrusted() const;
  // Whether the profile's Path64 for this client may be believed
  // (client/profile_trust.h). Load reads the profile only when this says so;
  // virtual for the same reason as ManifestTrusted.
  virtual bool ProfileTrusted() const;

  // The machine's Common AppData folder into `out`; its length, or 0.
  static int GetCommonAppDataPath(wchar_t (&out)[client::kPathUnits]);

  const wchar_t* module_name() const { return moduleName_; }
  const wchar_t* manifest_file() const { return manifestFile_; }
  const wchar_t* manifest_dir() const { return manifestDir_; }
  const wchar_t* library_dir() const { return libraryDir_; }

 private:
  void Init(const wchar_t* module_name, const wchar_t* common_app_data);
  HMODULE LoadRecorded(const wchar_t* path) const;

  wchar_t moduleName_[client::kPathUnits] = {};
  wchar_t manifestFile_[client::kPathUnits] = {};  // empty: no manifest file
  wchar_t manifestDir_[client::kPathUnits] = {};   // meaningful only with manifestFile_
  wchar_t pathValueName_[kPathValueNameUnits] = {};
  wchar_t libraryDir_[client::kPathUnits] = {};  // empty: no attempt beside the library
};

}  // namespace tl
