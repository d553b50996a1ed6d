#include "minifile/container_snapshot.h"

namespace tl {

namespace {

// Rollbacks tried on disk before the journal is applied in memory instead: a
// writer that meets the same journal meanwhile rolls it back itself, and a
// journal that comes back after a rollback is a new interrupted write.
constexpr int kDiskRollbacks = 3;

// The bytes of the container under a reader's hold, and its journal as the
// hold found it; the hold ends with the read. False with out->status when the
// container could not be opened or read.
bool ReadHeld(const char16_t* path, uint32_t wait_ms, ContainerSnapshot* out,
              std::unique_ptr<JournalSite>* site) {
  platform::WriterOpen open = platform::OpenContainerForReader(path, wait_ms);
  out->status = open.status;
  out->system_error = open.system_error;
  if (open.status != platform::WriterOpenStatus::kOk) return false;
  *site = JournalOfFile(path, open.file.get());
  // Asked under the hold: no writer is at work, so a complete journal is
  // one of an interrupted write.
  out->journal = *site ? InspectJournalAt(site->get(), open.file.get()) : JournalState::kNone;
  out->bytes = *site ? MemoryFile::ReadWhole(open.file.get()) : nullptr;
  if (!out->bytes) {
    out->status = platform::WriterOpenStatus::kFailed;
    out->system_error = 0;
    return false;
  }
  return true;
}

// Applies a complete journal to the bytes read; a snapshot whose journal
// cannot be applied is no snapshot (no torn state is ever shown).
void ApplyInMemory(JournalSite* site, ContainerSnapshot* out) {
  if (out->journal != JournalState::kComplete || ApplyJournalToCopy(site, out->bytes.get())) return;
  out->status = platform::WriterOpenStatus::kFailed;
  out->system_error = 0;
  out->bytes.reset();
}

}  // namespace

ContainerSnapshot TakeContainerSnapshot(const char16_t* path, uint32_t wait_ms) {
  ContainerSnapshot out;
  for (int attempt = 0;; ++attempt) {
    std::unique_ptr<JournalSite> site;
    if (!ReadHeld(path, wait_ms, &out, &site)) return out;
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
    // A complete one is applied in memory: not to be written by this process.
    ApplyInMemory(site.get(), &out);
    return out;
  }
}

ContainerSnapshot TakeReadOnlySnapshot(const char16_t* path, uint32_t wait_ms) {
  ContainerSnapshot out;
  std::unique_ptr<JournalSite> site;
  if (ReadHeld(path, wait_ms, &out, &site)) ApplyInMemory(site.get(), &out);
  return out;
}

}  // namespace tl
