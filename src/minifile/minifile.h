// An open container: open (or create) a file, write named streams, close.
// Each stream write is all-or-nothing on disk. When the new stream fits into
// blocks that no stream used before the write, its data go there, are flushed,
// and only then the allocation table and directory (adjacent in the file) are
// written in one write and flushed; until that write the file still describes
// the older state. When it fits only by reusing blocks of the stream it
// replaces, the original bytes of those blocks and the older table and
// directory first go to the rollback journal beside the container (journal.h),
// whose deletion after the new table is flushed is the commit point.
#pragma once

#include <cstdint>
#include <memory>

#include "minifile/dir_entry.h"
#include "minifile/header.h"
#include "minifile/journal.h"
#include "minifile/rc4.h"
#include "platform/file.h"

namespace tl {

inline constexpr uint32_t kHandleMagic = kHeaderMagic;
// Blocks larger than this are scrambled and written in pieces of this size.
inline constexpr uint32_t kMaxBlockBuffer = 0x100000;

// The in-memory state of one open container. The table and directory are kept
// as their on-disk bytes in one buffer (`meta`: 2*T table bytes, then 64*H
// directory bytes) so that they reach the file in one write; `scratch` is a
// second buffer of the same size in which a stream write prepares the next state.
//
// H (`dir_held`) is D bounded by the file and by the format's own need: the
// entries the file holds, plus one free entry for a new stream, and never more
// than T - 1 (at most T - 2 streams fit in the data blocks, plus one free
// slot). Entries past the end of the file read as zero, i.e. free, so those
// not held are free slots behind a held free one: no write would choose them.
// A header that claims millions of entries thus costs at most 4 MiB, never
// what it claims, and a write writes back only the held entries.
struct MiniFileHandle {
  uint32_t magic = 0;  // kHandleMagic while open
  std::unique_ptr<platform::File> file;
  // The container's rollback journal; null for a container opened over a
  // given file without one, which then refuses writes that would reuse blocks.
  std::unique_ptr<JournalSite> journal;
  // A write that reused blocks failed and could not roll itself back: the
  // journal must be applied before the container is written again.
  uint32_t journal_pending = 0;
  uint32_t dirty = 0;  // meta is to be written back
  // Write a stream's last block in full (the creation parameters' pad flag as
  // the open found it).
  uint32_t pad_last_block = 0;
  Geometry geometry;
  uint32_t dir_held = 0;
  uint8_t key[kHeaderKeySize] = {};
  uint8_t* meta = nullptr;
  uint8_t* scratch = nullptr;
  uint8_t* marks = nullptr;  // one byte per table entry, work space of a write
  // Every block passes through it: B bytes, but at most kMaxBlockBuffer, so a
  // header with a huge block size cannot make the writer take huge memory.
  uint8_t* block_buffer = nullptr;
  uint32_t block_buffer_size = 0;
  Rc4State rc4 = {};

  uint8_t* table() const { return meta; }
  uint8_t* directory() const { return meta + geometry.table_bytes(); }
  uint32_t meta_bytes() const { return geometry.table_bytes() + kDirEntrySize * dir_held; }
};

// A handle is usable when it is neither null nor all ones and its magic is 'ZeVK'.
bool MiniFileHandleUsable(const MiniFileHandle* h);

// Opens the container at `path`, creating the file when it does not exist (an
// existing file is never re-created or truncated). Before anything else, a
// complete journal beside it ("<path>-journal") is rolled back and deleted, an
// incomplete one deleted; when that cannot be done the open fails. A header
// that is short, fails the check, or whose counts lie outside the format, is
// replaced by a fresh one and the container starts empty; a header that cannot
// be read fails the open and changes nothing. Null on any failure.
MiniFileHandle* MiniFileOpen(const char16_t* path);

// The same over a file the caller opened (tests wrap files to inject faults),
// with its journal at `journal` (null: none, and writes that would reuse the
// replaced stream's blocks are refused).
MiniFileHandle* MiniFileOpenFile(std::unique_ptr<platform::File> file,
                                 std::unique_ptr<JournalSite> journal = nullptr);

// The same with the creation parameters a fresh header is made from passed in
// (null: the process-wide record), so that no process-wide state changes.
MiniFileHandle* MiniFileOpenWith(std::unique_ptr<platform::File> file,
                                 std::unique_ptr<JournalSite> journal,
                                 const CreationParameters* parameters);

// Writes the allocation table and directory back (one write, then a flush) when
// the dirty flag is set; clears it. Nothing for an unusable handle.
void MiniFileFlush(MiniFileHandle* h);

// Writes the table and directory (one write) and flushes the file; clears the
// dirty flag. False when the write or the flush did not complete.
bool FlushMeta(MiniFileHandle* h);

// Releases the handle and closes the file; does not flush. Nothing for an
// unusable handle.
void MiniFileClose(MiniFileHandle* h);

// Stores `size` bytes of `data` as the stream `name` (1 to 16 UTF-16 code units,
// terminated), replacing an older stream whose name equals it folding 'A'-'Z'.
// Returns `size` when the stream and the new table and directory are on disk,
// else 0; after a failure the file and the handle still hold the older state
// (where the write reused blocks and could not restore them, the journal stays
// and the next open, or the next write through this handle, restores them).
uint32_t MiniFileWriteStream(MiniFileHandle* h, const char16_t* name, const void* data,
                             uint32_t size);

// The most bytes MiniFileWriteStream could store as stream `name` now, by its
// own rule: the blocks free now and those of the stream it would replace, if
// a directory slot is left for it (its own or a free one); else 0.
uint64_t MiniFileStreamRoom(MiniFileHandle* h, const char16_t* name);

// The same for a stream the container does not hold yet: the blocks free now,
// if a free directory slot is left; else 0.
uint64_t MiniFileNewStreamRoom(MiniFileHandle* h);

}  // namespace tl
