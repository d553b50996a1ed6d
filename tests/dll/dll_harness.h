// Shared fixtures of the DLL tests: where the built artifacts are, a fresh
// loaded copy of trustlist.dll with its entry points resolved by ordinal, the
// reference client's log, and the machine-wide lock
// that keeps tests of several processes from sharing win.ini, the manifest
// folder and the client registration at the same time.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "trustlist/trustlist.h"

namespace tl::test {

// <folder of this program>\artifacts\<relative>.
std::filesystem::path ArtifactPath(const std::wstring& relative);

// Held for a whole test by every test that touches machine-wide settings or
// commits (a commit reads the client registration).
class SharedConfigLock {
 public:
  SharedConfigLock();
  ~SharedConfigLock();
  SharedConfigLock(const SharedConfigLock&) = delete;
  SharedConfigLock& operator=(const SharedConfigLock&) = delete;

 private:
  HANDLE mutex_ = nullptr;
};

// A copy of the built trustlist.dll at `dir`\`file_name`, loaded, with the six
// entry points resolved by ordinal. Unloaded (its globals gone) on destruction.
class TrustlistDll {
 public:
  explicit TrustlistDll(const std::filesystem::path& dir,
                        const std::wstring& file_name = L"trustlist.dll");
  ~TrustlistDll();
  TrustlistDll(const TrustlistDll&) = delete;
  TrustlistDll& operator=(const TrustlistDll&) = delete;

  bool loaded() const;  // module and all six entries present
  HMODULE module() const { return module_; }
  const std::filesystem::path& path() const { return path_; }

  TrustlistSetHostModuleFn SetHostModule = nullptr;
  TrustlistSelectTargetFn SelectTarget = nullptr;
  TrustlistAddProgramFn AddProgram = nullptr;
  TrustlistCommitFn Commit = nullptr;
  TrustlistImportFn ImportProgramList = nullptr;
  TrustlistImportFn ImportBlockList = nullptr;

 private:
  std::filesystem::path path_;
  HMODULE module_ = nullptr;
};

// Points VELTRIXCLT_LOG at a file of the test's own; the reference client
// appends "<event> <pid> <path>" lines to it. Unset on destruction.
class ClientLog {
 public:
  explicit ClientLog(const std::filesystem::path& file);
  ~ClientLog();
  ClientLog(const ClientLog&) = delete;
  ClientLog& operator=(const ClientLog&) = delete;

  std::vector<std::string> Lines() const;
  // Lines of this event ("attach", "notify", "detach").
  int Count(const std::string& event) const;
  // The module paths of the lines of this event, lower-cased.
  std::vector<std::string> Paths(const std::string& event) const;

 private:
  std::filesystem::path file_;
};

// Makes sure no registration of the client "VeltrixClt" exists for the test's
// time (profile and manifest), and removes what the test registered. Stale
// registrations left by earlier test runs (paths in "tl-test-" folders, and
// relative paths, which the loader never follows) are removed; any other
// registration belongs to the machine, and `usable()` is
// then false so that the test can skip instead of destroying it.
class ClientRegistrationGuard {
 public:
  ClientRegistrationGuard();
  ~ClientRegistrationGuard();
  ClientRegistrationGuard(const ClientRegistrationGuard&) = delete;
  ClientRegistrationGuard& operator=(const ClientRegistrationGuard&) = delete;
  bool usable() const { return usable_; }

 private:
  bool usable_ = false;
};

std::string Lower(std::string s);
std::string Utf8(const std::filesystem::path& p);

}  // namespace tl::test
