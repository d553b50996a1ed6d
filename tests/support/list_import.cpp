#include "support/list_import.h"

#include <memory>

#include "platform/file.h"

namespace tl::test {
namespace {

class ListSink final : public HashListSink {
 public:
  ListSink(CVarBlockList& list, HashListStats* stats) : list_(list), stats_(stats) {}
  void OnLine(const HashListLine& line) override {
    ++stats_->lines;
    if (line.status != HashLineStatus::kUsed) {
      ++stats_->skipped;
      return;
    }
    if (list_.AddOwnBlockCopy(line.block, line.block_size) == 0) {
      ++stats_->dropped;
      return;
    }
    ++stats_->used;
  }

 private:
  CVarBlockList& list_;
  HashListStats* stats_;
};

}  // namespace

bool ImportHashListInto(CVarBlockList& list, const char16_t* path, HashListStats* stats) {
  HashListStats local;
  if (stats == nullptr) stats = &local;
  *stats = HashListStats{};
  if (path == nullptr) return false;
  std::unique_ptr<platform::File> file = platform::OpenFileForReading(path);
  if (!file) return false;
  ListSink sink(list, stats);
  return ReadHashList(*file, sink);
}

}  // namespace tl::test
