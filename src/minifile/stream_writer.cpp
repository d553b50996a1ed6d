// MiniFileWriteStream: one named stream into an open container.
//
// The write never touches a block that holds live data unless it must: the new
// chain takes blocks that were free before the call, lowest first, and falls
// back to the replaced stream's own blocks only when those do not suffice. All
// data blocks are flushed before the table and directory are written (one write,
// the two are adjacent), so a failure or a crash before that write leaves the
// file describing the older stream, whose blocks are untouched. The handle's
// table and directory change only once the new ones are on disk.
//
// When blocks of the replaced stream must be reused, or the table and
// directory reach past the first 4 KiB of the file (so that a power loss could
// tear their one write), their original bytes (the blocks' and the older
// table and directory) go to the rollback journal first (journal.h),
// flushed before any of them is overwritten; the journal's deletion after the
// new table and directory are flushed is the commit point. A failure before
// that point writes the saved bytes back at once; a crash leaves the journal
// for the next open, which does the same.
#include <cstring>

#include "common/le.h"
#include "common/u16.h"
#include "minifile/dir_entry.h"
#include "minifile/journal.h"
#include "minifile/minifile.h"
#include "platform/system.h"

namespace tl {
namespace {

// Marks of the per-write work space, one byte per table entry.
constexpr uint8_t kMarkOld = 1;     // on the replaced stream's chain
constexpr uint8_t kMarkChosen = 2;  // carries the new stream

uint16_t TableLink(const uint8_t* table, uint32_t index) { return LoadU16(table, 2 * index); }

// Marks the blocks of the chain starting at `first` with kMarkOld and frees
// them in `table`. The walk stops at a link that names no data block (0xFFFF
// ends it regularly; 0, 1 or one at or beyond the table is damage) or at a block
// already visited, so a damaged chain never runs away or in circles.
void FreeChain(const Geometry& g, uint8_t* table, uint8_t* marks, uint16_t first) {
  uint32_t b = first;
  for (uint32_t steps = 0; steps < g.table_entries && g.IsDataBlock(b); ++steps) {
    if (marks[b] & kMarkOld) break;
    marks[b] |= kMarkOld;
    const uint16_t next = TableLink(table, b);
    StoreU16(table, 2 * b, kLinkFree);
    b = next;
  }
}

// Marks `needed` blocks with kMarkChosen: those free in `live` first, then those
// of the replaced chain, each time lowest first. False when there are too few.
bool ChooseBlocks(const Geometry& g, const uint8_t* live, uint8_t* marks, uint64_t needed) {
  uint64_t chosen = 0;
  for (uint32_t b = kFirstDataBlock; b < g.block_limit && chosen < needed; ++b) {
    if (TableLink(live, b) == kLinkFree && !(marks[b] & kMarkOld)) {
      marks[b] |= kMarkChosen;
      ++chosen;
    }
  }
  for (uint32_t b = kFirstDataBlock; b < g.block_limit && chosen < needed; ++b) {
    if (marks[b] & kMarkOld) {
      marks[b] |= kMarkChosen;
      ++chosen;
    }
  }
  return chosen == needed;
}

// Links the `needed` chosen blocks in rising order in `table`, the last one
// ending the chain; returns the first.
uint32_t LinkChosen(const Geometry& g, const uint8_t* marks, uint8_t* table, uint64_t needed) {
  uint32_t first = 0;
  uint32_t previous = 0;
  uint64_t linked = 0;
  for (uint32_t b = kFirstDataBlock; b < g.block_limit && linked < needed; ++b) {
    if (!(marks[b] & kMarkChosen)) continue;
    if (previous != 0) {
      StoreU16(table, 2 * previous, static_cast<uint16_t>(b));
    } else {
      first = b;
    }
    previous = b;
    ++linked;
  }
  StoreU16(table, 2 * previous, kLinkEnd);
  return first;
}

// Scrambles and writes the data into the chosen blocks in rising order (the
// order LinkChosen links them in); false on a failed write.
bool WriteBlocks(MiniFileHandle* h, const uint8_t* data, uint32_t size) {
  const Geometry& g = h->geometry;
  const bool pad = h->pad_last_block != 0;
  Rc4SetKey(&h->rc4, h->key);
  uint32_t done = 0;
  for (uint32_t b = kFirstDataBlock; b < g.block_limit && done < size; ++b) {
    if (!(h->marks[b] & kMarkChosen)) continue;
    const uint32_t remaining = size - done;
    const uint32_t chunk = remaining > g.block_size ? g.block_size : remaining;
    // A padded last block is written in full; the bytes behind the data carry
    // whatever the buffer held.
    const uint32_t len = (chunk < g.block_size && pad) ? g.block_size : chunk;
    for (uint32_t at = 0; at < len;) {
      const uint32_t piece = len - at < h->block_buffer_size ? len - at : h->block_buffer_size;
      const uint32_t data_piece = at >= chunk ? 0 : (chunk - at < piece ? chunk - at : piece);
      Rc4Crypt(&h->rc4, data_piece, data + done + at, h->block_buffer);
      uint32_t written = 0;
      if (!h->file->WriteAt(g.BlockOffset(b) + at, h->block_buffer, piece, &written) ||
          written < data_piece) {
        return false;
      }
      at += piece;
    }
    done += chunk;
  }
  return done == size;
}

constexpr uint8_t kMarkReused = kMarkOld | kMarkChosen;

// The largest write a power loss is taken to leave whole or not at all: a page
// of 4 KiB, aligned in the file. A table and directory that end past the
// first page could be torn into a mix of the older and the newer, which
// describes neither stream: such a write goes through the journal too.
constexpr uint32_t kAtomicWriteBytes = 4096;

// The piece of block `b` starting `at` bytes into it that a journal record
// holds: at most the block buffer, and only what the file holds.
uint32_t SavedPiece(const MiniFileHandle* h, uint32_t b, uint32_t at, uint32_t file_size) {
  const uint32_t start = h->geometry.BlockOffset(b) + at;
  if (start >= file_size) return 0;
  uint32_t len = h->geometry.block_size - at;
  if (len > h->block_buffer_size) len = h->block_buffer_size;
  if (len > file_size - start) len = file_size - start;
  return len;
}

// Writes the journal of a write that reuses blocks: the container's header and
// the new table and directory (the scratch state, complete by now) that bind
// the journal to this container, the older table and directory as the handle
// holds them, then every reused block as far as the file holds it, in pieces
// of the block buffer. False when it could not be written and flushed whole;
// the container has not been touched then.
bool WriteJournal(MiniFileHandle* h) {
  const Geometry& g = h->geometry;
  uint32_t file_size = 0;
  if (!h->file->Size(&file_size)) return false;
  uint32_t records = 1;
  uint64_t bytes = h->meta_bytes();
  for (uint32_t b = kFirstDataBlock; b < g.block_limit; ++b) {
    if (h->marks[b] != kMarkReused) continue;
    for (uint32_t at = 0; at < g.block_size;) {
      const uint32_t len = SavedPiece(h, b, at, file_size);
      if (len == 0) break;
      at += len;
      ++records;
      bytes += len;
    }
  }
  uint8_t header[kHeaderSize] = {};
  uint32_t got = 0;
  if (!h->file->ReadAt(0, header, kHeaderSize, &got) || got != kHeaderSize) return false;
  std::unique_ptr<platform::File> file = h->journal->Create();
  if (!file) return false;
  JournalWriter writer(file.get());
  bool ok = writer.Begin(file_size, records, bytes, header, g.table_offset, h->scratch,
                         h->meta_bytes()) &&
            writer.Record(g.table_offset, h->meta, h->meta_bytes());
  for (uint32_t b = kFirstDataBlock; ok && b < g.block_limit; ++b) {
    if (h->marks[b] != kMarkReused) continue;
    for (uint32_t at = 0; ok && at < g.block_size;) {
      const uint32_t len = SavedPiece(h, b, at, file_size);
      if (len == 0) break;
      uint32_t done = 0;
      ok = h->file->ReadAt(g.BlockOffset(b) + at, h->block_buffer, len, &done) && done == len &&
           writer.Record(g.BlockOffset(b) + at, h->block_buffer, len);
      at += len;
    }
  }
  return ok && writer.Finish();
}

// Copies the handle's table and directory into its scratch state and drops
// the first present stream named `name` there (its blocks marked kMarkOld);
// with no name, none.
void PrepareScratch(MiniFileHandle* h, const char16_t* name, uint32_t name_len) {
  const Geometry& g = h->geometry;
  uint8_t* dir = h->scratch + g.table_bytes();
  std::memcpy(h->scratch, h->meta, h->meta_bytes());
  std::memset(h->marks, 0, g.table_entries);
  for (uint32_t e = 0; e < h->dir_held; ++e) {
    uint8_t* entry = dir + e * kDirEntrySize;
    if (name != nullptr && DirEntryPresent(entry) && DirEntryNameEquals(entry, name, name_len)) {
      FreeChain(g, h->scratch, h->marks, LoadU16(entry, kDirEntryFirstBlockOffset));
      std::memset(entry, 0, kDirEntrySize);
      break;
    }
  }
}

// The first free directory slot of the scratch state, or null.
uint8_t* FreeSlot(MiniFileHandle* h) {
  uint8_t* dir = h->scratch + h->geometry.table_bytes();
  for (uint32_t e = 0; e < h->dir_held; ++e) {
    uint8_t* entry = dir + e * kDirEntrySize;
    if (LoadU16(entry, kDirEntryNameOffset) == 0) return entry;
  }
  return nullptr;
}

// Puts back what the journal saved and deletes it. When that fails the handle
// remembers it, and no write goes to the container before it succeeds.
void RollBack(MiniFileHandle* h) {
  h->journal_pending = RecoverFromJournal(h->journal.get(), h->file.get()) ? 0 : 1;
}

}  // namespace

uint32_t MiniFileWriteStream(MiniFileHandle* h, const char16_t* name, const void* data,
                             uint32_t size) {
  if (size == 0 || !MiniFileHandleUsable(h) || name == nullptr || data == nullptr) return 0;
  // Names of 1 to 16 code units only: a longer one would be stored cut and
  // never found again, an empty one would mark its slot free.
  const auto name_len = static_cast<uint32_t>(U16Len(name, kDirEntryMaxNameUnits + 1));
  if (name_len == 0 || name_len > kDirEntryMaxNameUnits) return 0;

  if (h->journal_pending != 0) {
    RollBack(h);
    if (h->journal_pending != 0) return 0;
  }

  const Geometry& g = h->geometry;
  const uint32_t meta_bytes = h->meta_bytes();
  uint8_t* table = h->scratch;
  PrepareScratch(h, name, name_len);

  const uint64_t needed = (uint64_t{size} + g.block_size - 1) / g.block_size;
  if (!ChooseBlocks(g, h->meta, h->marks, needed)) return 0;

  uint8_t* slot = FreeSlot(h);
  if (slot == nullptr) return 0;

  // The new table and directory are complete before any byte is written: a
  // journal carries them.
  const uint32_t first = LinkChosen(g, h->marks, table, needed);
  // A free slot may hold stray bytes from a damaged file: it is cleared whole,
  // so the stored name always ends with a zero.
  std::memset(slot, 0, kDirEntrySize);
  for (uint32_t k = 0; k < name_len; ++k) StoreU16(slot, kDirEntryNameOffset + 2 * k, name[k]);
  StoreU32(slot, kDirEntrySizeOffset, size);
  StoreU16(slot, kDirEntryFirstBlockOffset, static_cast<uint16_t>(first));
  StoreU64(slot, kDirEntryTimeOffset, platform::UtcNowFileTime());
  StoreU16(slot, kDirEntryFlagsOffset, kDirFlagPresent);

  bool journaled = false;
  for (uint32_t b = kFirstDataBlock; b < g.block_limit && !journaled; ++b) {
    journaled = h->marks[b] == kMarkReused;
  }
  // A table and directory that could tear are journaled too (the older ones
  // only, no blocks); without a site (a container kept in memory) only a
  // reuse needs a journal.
  if (!journaled && h->journal && uint64_t{g.table_offset} + meta_bytes > kAtomicWriteBytes) {
    journaled = true;
  }
  if (journaled) {
    // Without a journal the older stream could not be kept: refused. So is a
    // write while another container's journal holds the journal's name: it
    // is not this container's to overwrite.
    if (!h->journal || h->journal->Exists()) return 0;
    if (!WriteJournal(h)) {
      // The container is untouched. A journal that stays (its deletion
      // failed) might be complete and would undo later writes at the next
      // open: it must go before this handle writes again.
      if (!h->journal->Remove()) h->journal_pending = 1;
      return 0;
    }
  }

  if (!WriteBlocks(h, static_cast<const uint8_t*>(data), size) || !h->file->Flush()) {
    if (journaled) RollBack(h);
    return 0;
  }

  uint32_t written = 0;
  h->dirty = 0;
  if (journaled) {
    // Success only once the journal is gone; until then every failure puts
    // the older bytes back, and the handle keeps the older state.
    if (h->file->WriteAt(g.table_offset, h->scratch, meta_bytes, &written) &&
        written == meta_bytes && h->file->Flush() && h->journal->Remove()) {
      uint8_t* previous = h->meta;
      h->meta = h->scratch;
      h->scratch = previous;
      return size;
    }
    RollBack(h);
    return 0;
  }

  // The prepared state becomes the handle's once the file holds it. When the
  // write or its flush fails, the file may hold part or all of the new table
  // and directory: the older ones, which describe only untouched blocks, are
  // written back as far as the file takes them, and the handle keeps them.
  if (h->file->WriteAt(g.table_offset, h->scratch, meta_bytes, &written) && written == meta_bytes &&
      h->file->Flush()) {
    uint8_t* previous = h->meta;
    h->meta = h->scratch;
    h->scratch = previous;
    return size;
  }
  if (!h->file->WriteAt(g.table_offset, h->meta, meta_bytes, &written) || written != meta_bytes ||
      !h->file->Flush()) {
    h->dirty = 1;  // a later MiniFileFlush tries again
  }
  return 0;
}

namespace {

// The first steps of a write, in the scratch state only: the blocks free now
// and those of the stream `name` replaces (none without a name), when a
// directory slot is left for it.
uint64_t RoomFor(MiniFileHandle* h, const char16_t* name, uint32_t name_len) {
  PrepareScratch(h, name, name_len);
  if (FreeSlot(h) == nullptr) return 0;
  const Geometry& g = h->geometry;
  uint64_t blocks = 0;
  for (uint32_t b = kFirstDataBlock; b < g.block_limit; ++b) {
    if (TableLink(h->meta, b) == kLinkFree || (h->marks[b] & kMarkOld)) ++blocks;
  }
  return blocks * g.block_size;
}

}  // namespace

uint64_t MiniFileStreamRoom(MiniFileHandle* h, const char16_t* name) {
  if (!MiniFileHandleUsable(h) || name == nullptr) return 0;
  const auto name_len = static_cast<uint32_t>(U16Len(name, kDirEntryMaxNameUnits + 1));
  if (name_len == 0 || name_len > kDirEntryMaxNameUnits) return 0;
  return RoomFor(h, name, name_len);
}

uint64_t MiniFileNewStreamRoom(MiniFileHandle* h) {
  if (!MiniFileHandleUsable(h)) return 0;
  return RoomFor(h, nullptr, 0);
}

}  // namespace tl
