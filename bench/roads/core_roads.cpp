// The library's roads through the portable core, natively: the import, the
// builder and the commit's stream write exactly as the entry points run them,
// without the DLL around them.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "blocklist/var_block_list.h"
#include "entry/hash_list.h"
#include "entry/list_store.h"
#include "entry/list_stream.h"
#include "entry/payload_builder.h"
#include "entry/program_builder.h"
#include "minifile/creation_parameters.h"
#include "minifile/minifile.h"
#include "platform/file.h"
#include "road_common.h"

namespace tl::bench {
namespace {

namespace fs = std::filesystem;

class CoreRoads final : public Roads {
 public:
  uint32_t Import(const fs::path& container, const fs::path& path) override {
    // The library's import road: the payload built from the file, stored whole.
    Select(container);
    PayloadBuilder built;
    std::unique_ptr<platform::File> file = platform::OpenFileForReading(path.u16string().c_str());
    if (!file || !BuildHashListPayload(*file, built)) return 0;
    file.reset();
    uint32_t result = 0;
    ListStore store;
    if (store.Open(container_.c_str(), kCommitCreationParameters) == StoreStatus::kOk) {
      store.WriteBuilt(u"ProgramList", built, &result);
    }
    return result;
  }
  void Select(const fs::path& container) override {
    container_ = container.u16string();
    list_.RemoveAll();
  }
  int32_t AddProgram(void* record) override { return AddProgramTo(list_, record); }
  uint32_t Commit() override {
    // The library's commit road: the list store with the commit's parameters.
    uint32_t result = 0;
    ListStore store;
    if (store.Open(container_.c_str(), kCommitCreationParameters) == StoreStatus::kOk) {
      store.WriteList(u"ProgramList", list_, &result);
    }
    store.Close();
    list_.RemoveAll();
    return result;
  }
  fs::path ContainerIn(const fs::path& dir) override { return dir / "TrustCustom.mnf"; }

 private:
  CVarBlockList list_;
  std::u16string container_;
};

}  // namespace
}  // namespace tl::bench

// core_roads [SCRATCH-DIR [RUNS [TRUSTCTL]]]: with TRUSTCTL, times that tool's
// import instead (a process of its own, so that its peak memory is its own).
int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "trustlist-roads";
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  fs::create_directories(dir);
  int status = 0;
  if (argc > 3) {
    status = tl::bench::RunToolImport(argv[3], dir, runs);
  } else {
    tl::bench::CoreRoads roads;
    status = tl::bench::RunRoads(roads, dir, runs, "core roads, native");
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return status;
}
