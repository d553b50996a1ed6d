// The list store: the one road by which anything writes a list into a
// container. The library's commit and imports, every writing command of
// trustctl, the benchmarks and the tests all go through it, so the steps and
// their order exist once:
//
//   Open   the container for its one writer (waiting a bounded time while
//          another writer, in this or another process, holds it), with the
//          creation parameters a new container is made with passed in; then
//          recover it: a journal left by an interrupted write of this file is
//          rolled back. Recovery runs only here, under the hold, so a journal
//          whose writer is still at work is never touched.
//   Read   streams through the same open (a read-modify-write reads and writes
//          under one hold, so no other writer's change falls between).
//   Room   the bytes a new payload of a stream can have, by the writer's rule.
//   Write  one stream payload (all-or-nothing on disk).
//   Close  releases the hold.
//
// Every failure has a cause (StoreStatus); trustctl turns it into its
// messages, the library into its result 0. Nothing here changes process-wide
// state.
#pragma once

#include <cstdint>
#include <vector>

#include "minifile/container_reader.h"
#include "minifile/creation_parameters.h"
#include "minifile/journal.h"

namespace tl {

class CVarBlockList;
class PayloadBuilder;
struct MiniFileHandle;

namespace platform {
class File;
}

using platform::kWriterWaitMs;

enum class StoreStatus : uint8_t {
  kOk,
  kInUse,           // another writer held the container for the whole wait
  kNotRegularFile,  // the path names a directory, a FIFO, a device
  kOpenFailed,      // the system refused the open (system_error())
  kRecoveryFailed,  // a journal of this container could not be applied
  kBadParameters,   // the creation parameters make no container
  kNotOpen,         // no container is open
  kNoMemory,
  kReadFailed,     // a stream could not be read (see the reader's defects)
  kTooLarge,       // the list is too large for one stream
  kNoRoom,         // too little free space or no free directory slot
  kWriteFailed,    // a block, table or journal write failed; the older stream stays
  kBadStreamName,  // a stream name of 1 to 16 code units is needed
  kDamaged,        // asked to refuse damage, and the container has some (damage())
  kEmptyFile,      // asked to refuse one, and the file exists and holds 0 bytes
};

struct StoreOptions {
  uint32_t wait_ms = kWriterWaitMs;
  // Refuse, before anything is written, a container that is not empty and not
  // sound (a header that would be replaced, any defect of any stream): the
  // editing tools do, so that an edit never makes damage worse or drops
  // streams. The library's commit does not: it replaces an unusable header
  // and writes, as it always has.
  bool refuse_damaged = false;
  // Refuse an existing file of 0 bytes, untouched, instead of making a new
  // container of it: the editing tools do (an empty file is most often what a
  // redirection left of a container). Judged under the hold, so a container
  // that another writer is creating at that moment is waited for, not refused.
  bool refuse_empty_file = false;
};

// A short English text of a status ("the container is in use by another writer").
const char* StoreStatusText(StoreStatus status);

class ListStore {
 public:
  ListStore() = default;
  ~ListStore();
  ListStore(const ListStore&) = delete;
  ListStore& operator=(const ListStore&) = delete;

  // Opens the container at `path` (created when missing) for its one writer and
  // recovers it. `parameters` make the header of a new or unusable container.
  StoreStatus Open(const char16_t* path, const CreationParameters& parameters,
                   const StoreOptions& options = {});
  // The first defect that made Open refuse the container (kDamaged).
  Defect damage() const { return damage_; }

  bool is_open() const { return handle_ != nullptr; }
  // The open made the file.
  bool created() const { return created_; }
  // What the open's recovery found: kComplete, an interrupted write rolled
  // back; kIncomplete, the journal of one that had not begun discarded;
  // kForeign, another container's journal, left where it is (a write that
  // needs a journal fails while it is there).
  JournalState recovered() const { return recovered_; }
  // The system's error code of a failed open.
  uint32_t system_error() const { return system_error_; }
  // The open container (null when none is open).
  MiniFileHandle* handle() const { return handle_; }

  // A checked reader over the open file, as it is now (tools and tests).
  // False when no container is open or the reader cannot be set up.
  bool OpenReader(ContainerReader* reader) const;

  // The most bytes a payload of stream `name` could have if written now.
  uint64_t Room(const char16_t* name);

  // Stores `size` bytes as stream `name`, replacing a stream of that name.
  StoreStatus Write(const char16_t* name, const void* payload, uint32_t size);

  // Builds the list's payload (measured, exported and counted under its lock)
  // and stores it as stream `name`. *count gets the blocks stored, *bytes the
  // payload's length (either may be null).
  StoreStatus WriteList(const char16_t* name, CVarBlockList& list, uint32_t* count,
                        uint32_t* bytes = nullptr);

  // Finishes the builder's payload (the builder is empty afterwards) and
  // stores it as stream `name`; *count and *bytes as for WriteList.
  StoreStatus WriteBuilt(const char16_t* name, PayloadBuilder& builder, uint32_t* count,
                         uint32_t* bytes = nullptr);

  // Removes the container, when this open created it, before the hold ends
  // (a store that failed on a new container leaves no file behind). True when
  // the open made no file or the file is gone.
  bool DiscardCreated();

  // Releases the container and the hold. Safe to call twice.
  void Close();

 private:
  // Zeroes the counts and says whether a stream `name` can be written now.
  StoreStatus ReadyToWrite(const char16_t* name, uint32_t* count, uint32_t* bytes) const;
  // Stores a payload this store owns and frees, and reports it as the list's.
  StoreStatus WriteOwned(const char16_t* name, uint8_t* payload, uint32_t size, uint32_t blocks,
                         uint32_t* count, uint32_t* bytes);

  MiniFileHandle* handle_ = nullptr;
  char16_t* path_ = nullptr;  // as given, for DiscardCreated
  bool created_ = false;
  JournalState recovered_ = JournalState::kNone;
  Defect damage_ = Defect::kNone;
  uint32_t system_error_ = 0;
};

}  // namespace tl
