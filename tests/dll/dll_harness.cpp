#include "dll_harness.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "client/client_search.h"
#include "client/module_loader.h"

namespace tl::test {

namespace {

constexpr wchar_t kClientName[] = L"VeltrixClt";
constexpr wchar_t kTestFolderMark[] = L"\\tl-test-";

template <typename Fn>
Fn Resolve(HMODULE module, int ordinal) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
}

// A relative value is left by a test that stopped half-way (the loader never
// follows one), and counts as the tests' own as well.
bool OursOrEmpty(const wchar_t* value) {
  return !client::IsAbsolutePath(value) || wcsstr(value, kTestFolderMark) != nullptr;
}

}  // namespace

std::filesystem::path ArtifactPath(const std::wstring& relative) {
  wchar_t exe[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::filesystem::path dir = std::filesystem::path(std::wstring(exe, n)).parent_path();
  return dir / L"artifacts" / relative;
}

SharedConfigLock::SharedConfigLock() {
  mutex_ = CreateMutexW(nullptr, FALSE, L"Local\\trustlist-dll-tests-shared-config");
  if (mutex_ != nullptr) WaitForSingleObject(mutex_, INFINITE);  // abandoned is fine too
}

SharedConfigLock::~SharedConfigLock() {
  if (mutex_ == nullptr) return;
  ReleaseMutex(mutex_);
  CloseHandle(mutex_);
}

TrustlistDll::TrustlistDll(const std::filesystem::path& dir, const std::wstring& file_name) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  path_ = dir / file_name;
  std::filesystem::copy_file(ArtifactPath(L"trustlist.dll"), path_,
                             std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return;
  module_ = LoadLibraryW(path_.c_str());
  if (module_ == nullptr) return;
  SetHostModule = Resolve<TrustlistSetHostModuleFn>(module_, TRUSTLIST_ORDINAL_SET_HOST_MODULE);
  SelectTarget = Resolve<TrustlistSelectTargetFn>(module_, TRUSTLIST_ORDINAL_SELECT_TARGET);
  AddProgram = Resolve<TrustlistAddProgramFn>(module_, TRUSTLIST_ORDINAL_ADD_PROGRAM);
  Commit = Resolve<TrustlistCommitFn>(module_, TRUSTLIST_ORDINAL_COMMIT);
  ImportProgramList = Resolve<TrustlistImportFn>(module_, TRUSTLIST_ORDINAL_IMPORT_PROGRAM_LIST);
  ImportBlockList = Resolve<TrustlistImportFn>(module_, TRUSTLIST_ORDINAL_IMPORT_BLOCK_LIST);
}

TrustlistDll::~TrustlistDll() {
  if (module_ != nullptr) FreeLibrary(module_);
}

bool TrustlistDll::loaded() const {
  return module_ != nullptr && SetHostModule != nullptr && SelectTarget != nullptr &&
         AddProgram != nullptr && Commit != nullptr && ImportProgramList != nullptr &&
         ImportBlockList != nullptr;
}

ClientLog::ClientLog(const std::filesystem::path& file) : file_(file) {
  SetEnvironmentVariableW(L"VELTRIXCLT_LOG", file_.c_str());
}

ClientLog::~ClientLog() { SetEnvironmentVariableW(L"VELTRIXCLT_LOG", nullptr); }

std::vector<std::string> ClientLog::Lines() const {
  std::vector<std::string> lines;
  std::ifstream in(file_, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

int ClientLog::Count(const std::string& event) const {
  auto lines = Lines();
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.compare(0, event.size() + 1, event + " ") == 0;
  }));
}

std::vector<std::string> ClientLog::Paths(const std::string& event) const {
  std::vector<std::string> paths;
  for (const std::string& line : Lines()) {
    if (line.compare(0, event.size() + 1, event + " ") != 0) continue;
    size_t second_space = line.find(' ', event.size() + 1);
    if (second_space != std::string::npos) paths.push_back(Lower(line.substr(second_space + 1)));
  }
  return paths;
}

ClientRegistrationGuard::ClientRegistrationGuard() {
  CModuleLoader loader(kClientName);
  wchar_t value[MAX_PATH] = {};
  GetProfileStringW(kClientName, L"Path64", L"", value, MAX_PATH);
  if (!OursOrEmpty(value)) return;
  value[0] = L'\0';
  if (loader.manifest_file()[0] != L'\0') {
    GetPrivateProfileStringW(L"Image", L"Path64", L"", value, MAX_PATH, loader.manifest_file());
  }
  if (!OursOrEmpty(value)) return;
  loader.Unregister();
  usable_ = true;
}

ClientRegistrationGuard::~ClientRegistrationGuard() {
  if (!usable_) return;
  CModuleLoader loader(kClientName);
  loader.Unregister();
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string Utf8(const std::filesystem::path& p) {
  std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

}  // namespace tl::test
