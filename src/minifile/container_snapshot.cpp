#include "minifile/container_snapshot.h"

namespace tl {

namespace {

// Rollbacks tried on disk before the journal is applied in memory instead: a
// writer that meets the same journal meanwhile rolls it back itself, and a
// journal that comes back after a rollback is a new interrupted write.
constexpr int kDiskRollbacks = 3;

}  // namespace

ContainerSnapshot TakeContainerSnapshot(const char16_t* path, uint32_t wait_ms) {
  ContainerSnapshot out;
  for (int attempt = 0;; ++attempt) {
    platform::WriterOpen open = platform::OpenContainerForReader(path, wait_ms);
    out.status = open.status;
    out.system_error = open.system_error;
    if (open.status != platform::WriterOpenStatus::kOk) return out;
    std::unique_ptr<JournalSite> site = JournalOfFile(path, open.file.get());
    // Asked under the hold: no writer is at work, so a complete journal is
    // one of an interrupted write.
    out.journal = site ? InspectJournalAt(site.get(), open.file.get()) : JournalState::kNone;
    out.bytes = site ? MemoryFile::ReadWhole(open.file.get()) : nullptr;
    open.file.reset();  // the hold ends with the read
    if (!out.bytes) {
      out.status = platform::WriterOpenStatus::kFailed;
      out.system_error = 0;
      return out;
    }
    const JournalState found = out.journal;
    if (found != JournalState::kComplete && found != JournalState::kIncomplete) return out;
    if (attempt < kDiskRollbacks) {
      platform::WriterOpenStatus how = platform::WriterOpenStatus::kOk;
      if (RecoverContainer(path, wait_ms, &how)) {
        (found == JournalState::kComplete ? out.rolled_back : out.discarded) = true;
        continue;
      }
      if (how == platform::WriterOpenStatus::kInUse) continue;
    }
    // An incomplete journal never changed the container: the bytes stand.
    if (found == JournalState::kIncomplete) return out;
    // Not to be written by this process: the rollback's state, in memory.
    if (!ApplyJournalToCopy(site.get(), out.bytes.get())) {
      out.status = platform::WriterOpenStatus::kFailed;
      out.system_error = 0;
      out.bytes.reset();
    }
    return out;
  }
}

}  // namespace tl
