// The library's roads through trustlist.dll itself, by ordinal, as a caller
// drives it (under Wine on these machines). The DLL is copied into the scratch
// folder and loaded from there, so that its containers are made beside it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "road_common.h"
#include "trustlist/trustlist.h"

namespace tl::bench {
namespace {

namespace fs = std::filesystem;

class DllRoads final : public Roads {
 public:
  bool Load(const fs::path& dll) {
    module_ = LoadLibraryW(dll.wstring().c_str());
    if (module_ == nullptr) return false;
    select_ = Resolve<TrustlistSelectTargetFn>(10);
    add_ = Resolve<TrustlistAddProgramFn>(11);
    commit_ = Resolve<TrustlistCommitFn>(19);
    import_ = Resolve<TrustlistImportFn>(20);
    return select_ != nullptr && add_ != nullptr && commit_ != nullptr && import_ != nullptr;
  }
  ~DllRoads() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  DllRoads() = default;
  DllRoads(const DllRoads&) = delete;
  DllRoads& operator=(const DllRoads&) = delete;

  uint32_t Import(const fs::path&, const fs::path& path) override {
    const std::wstring p = path.wstring();
    return import_(reinterpret_cast<const trustlist_wchar*>(p.c_str()));
  }
  void Select(const fs::path&) override { select_(1, 1); }
  int32_t AddProgram(void* record) override { return add_(static_cast<TrustlistProgram*>(record)); }
  uint32_t Commit() override { return commit_(); }
  fs::path ContainerIn(const fs::path& dir) override { return dir / "TrustCustom.mnf"; }

 private:
  template <class Fn>
  Fn Resolve(int ordinal) {
    return reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(module_, MAKEINTRESOURCEA(ordinal))));
  }

  HMODULE module_ = nullptr;
  TrustlistSelectTargetFn select_ = nullptr;
  TrustlistAddProgramFn add_ = nullptr;
  TrustlistCommitFn commit_ = nullptr;
  TrustlistImportFn import_ = nullptr;
};

}  // namespace
}  // namespace tl::bench

int wmain(int argc, wchar_t** argv) {
  namespace fs = std::filesystem;
  if (argc < 2) {
    std::fprintf(stderr, "usage: dll_roads TRUSTLIST.DLL [SCRATCH-DIR [RUNS]]\n");
    return 2;
  }
  const fs::path dir = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "trustlist-roads";
  const int runs = argc > 3 ? _wtoi(argv[3]) : 3;
  fs::create_directories(dir);
  const fs::path dll = dir / "trustlist.dll";
  std::error_code ec;
  fs::copy_file(argv[1], dll, fs::copy_options::overwrite_existing, ec);
  int status = 2;
  {
    tl::bench::DllRoads roads;
    if (ec || !roads.Load(dll)) {
      std::fprintf(stderr, "dll_roads: cannot load %ls\n", argv[1]);
    } else {
      status = tl::bench::RunRoads(roads, dir, runs, "trustlist.dll by ordinal");
    }
  }
  fs::remove_all(dir, ec);
  return status;
}
