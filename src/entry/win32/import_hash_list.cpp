#include "entry/win32/import_hash_list.h"

#include "entry/hash_list.h"
#include "entry/win32/commit.h"
#include "entry/win32/library_state.h"
#include "entry/win32/select_target.h"
#include "platform/file.h"

namespace tl::entry {

namespace {

// Hands the block of every used line to the global list, as AddBlockCopy does
// (a line whose copy cannot be allocated is dropped).
class ListSink : public HashListSink {
 public:
  void OnLine(const HashListLine& line) override {
    if (line.status == HashLineStatus::kUsed && line.block != nullptr) {
      GlobalList().AddBlockCopy(line.block);
    }
  }
};

}  // namespace

uint32_t ImportHashList(const wchar_t* path, int32_t program_list) {
  if (path == nullptr) return 0;
  // The file is opened before anything changes, and held open while the
  // selection is replaced: a file that cannot be opened leaves every state as
  // it was.
  std::unique_ptr<platform::File> file =
      platform::OpenFileForReading(reinterpret_cast<const char16_t*>(path));
  if (!file) return 0;

  SelectTarget(1, program_list);

  ListSink sink;
  HashListParser parser(sink);
  static constexpr uint32_t kPiece = 16384;
  uint8_t piece[kPiece];
  uint32_t offset = 0;
  bool read_failed = false;
  for (;;) {
    uint32_t done = 0;
    if (!file->ReadAt(offset, piece, kPiece, &done)) {
      read_failed = true;
      break;
    }
    if (done == 0) break;
    parser.Feed(piece, done);
    if (done > UINT32_MAX - offset) break;  // 4 GiB read: the 32-bit offsets end here
    offset += done;
  }
  file.reset();
  // A read error leaves only part of the list in hand: storing it would
  // replace the stream with less than the file holds, so nothing is written.
  if (read_failed) return DiscardCommit();
  parser.Finish();
  return Commit();
}

}  // namespace tl::entry
