// A snapshot of a container: its bytes read whole into memory under a
// reader's hold that a writer waits for, so that every reader (trustctl's
// dump, export, verify, lint, diff, test and the looks of a dry run) sees one
// state between two writes, and holds the container only for as long as the
// read takes, never while it formats or writes its output.
//
// An interrupted write is met before anything is judged: when a journal of
// this container lies beside it, the snapshot takes the writer's hold and
// recovers it on disk as every writer does (a complete journal is rolled back,
// an incomplete one, whose write had not yet changed the container, is
// deleted), then reads again.
// Where this process may not write the container (a read-only file or
// folder), it applies the journal to the bytes in memory instead, so that the
// reader sees the state the rollback will leave, and the journal stays for a
// writer that may.
#pragma once

#include <cstdint>
#include <memory>

#include "minifile/journal.h"
#include "minifile/memory_file.h"
#include "platform/file.h"

namespace tl {

struct ContainerSnapshot {
  // kOk with `bytes`; else why the container could not be read: kInUse (a
  // writer held it for the whole wait), kNotRegular, kFailed (system_error:
  // the system's code, 0 when the memory could not be had or the journal of
  // an interrupted write could not be read).
  platform::WriterOpenStatus status = platform::WriterOpenStatus::kFailed;
  uint32_t system_error = 0;
  std::unique_ptr<MemoryFile> bytes;
  // A complete journal of an interrupted write was rolled back on disk.
  bool rolled_back = false;
  // An incomplete one was deleted.
  bool discarded = false;
  // The journal left beside the container: kNone; kComplete when it could not
  // be rolled back on disk (`bytes` are the rolled-back state all the same);
  // kIncomplete when it could not be deleted (its write had not changed the
  // container); kForeign (another container's, left alone).
  JournalState journal = JournalState::kNone;
};

ContainerSnapshot TakeContainerSnapshot(const char16_t* path,
                                        uint32_t wait_ms = platform::kWriterWaitMs);

// The same for a reader that must leave the container, and everything beside
// it, exactly as it found it (a salvage of a damaged container reads the
// evidence, it does not change it): nothing is written or deleted, and no
// writer's hold is taken. A complete journal of this container is applied to
// the bytes in memory (`journal` kComplete: `bytes` are the rolled-back state
// and the journal stays); an incomplete one changed nothing, so the bytes
// stand (kIncomplete); another container's is left alone (kForeign).
// rolled_back and discarded are always false.
ContainerSnapshot TakeReadOnlySnapshot(const char16_t* path,
                                       uint32_t wait_ms = platform::kWriterWaitMs);

}  // namespace tl
