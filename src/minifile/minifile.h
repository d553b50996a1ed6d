// An open container: open (or create) a file, write named streams, close.
// Each stream write is all-or-nothing on disk: its data go only into blocks that
// no stream used before the write, are flushed, and only then the allocation
// table and directory (adjacent in the file) are written in one write and
// flushed. Until that one write the file still describes the older state.
#pragma once

#include <cstdint>
#include <memory>

#include "minifile/header.h"
#include "minifile/rc4.h"
#include "platform/file.h"

namespace tl {

inline constexpr uint32_t kHandleMagic = kHeaderMagic;
// Blocks larger than this are scrambled and written in pieces of this size.
inline constexpr uint32_t kMaxBlockBuffer = 0x100000;

// The in-memory state of one open container. The table and directory are kept
// as their on-disk bytes in one buffer (`meta`: 2*T table bytes, then 64*D
// directory bytes) so that they reach the file in one write; `scratch` is a
// second buffer of the same size in which a stream write prepares the next state.
struct MiniFileHandle {
  uint32_t magic = 0;  // kHandleMagic while open
  std::unique_ptr<platform::File> file;
  uint32_t dirty = 0;  // meta is to be written back
  Geometry geometry;
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
  uint32_t meta_bytes() const { return geometry.table_bytes() + geometry.dir_bytes(); }
};

// A handle is usable when it is neither null nor all ones and its magic is 'ZeVK'.
bool MiniFileHandleUsable(const MiniFileHandle* h);

// Opens the container at `path`, creating the file when it does not exist (an
// existing file is never re-created or truncated). A header that fails the
// check, or whose counts lie outside the format, is replaced by a fresh one and
// the container starts empty. Null on any failure.
MiniFileHandle* MiniFileOpen(const char16_t* path);

// The same over a file the caller opened (tests wrap files to inject faults).
MiniFileHandle* MiniFileOpenFile(std::unique_ptr<platform::File> file);

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
// else 0; after a failure the file and the handle still hold the older state.
uint32_t MiniFileWriteStream(MiniFileHandle* h, const char16_t* name, const void* data,
                             uint32_t size);

}  // namespace tl
