// Open, flush and close of a container.
#include "minifile/minifile.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "common/le.h"
#include "common/zalloc.h"
#include "minifile/creation_parameters.h"

namespace tl {
namespace {

// Releases everything a handle owns and the handle itself.
void DestroyHandle(MiniFileHandle* h) {
  ZeroFree(h->meta);
  ZeroFree(h->scratch);
  ZeroFree(h->marks);
  ZeroFree(h->block_buffer);
  h->~MiniFileHandle();
  ZeroFree(h);
}

// Writes a fresh header; when the file already extends past it, also an empty
// table and directory, in the same write, so that no bytes written under the
// old header are read as this container's table or directory.
bool WriteFreshHeader(platform::File* file, const uint8_t* header, const Geometry& g) {
  uint32_t size = 0;
  if (!file->Size(&size)) return false;
  // Bytes past the end of the file read as zero already: only those the file
  // holds need clearing.
  uint32_t len = kHeaderSize;
  if (size > kHeaderSize) {
    const uint64_t meta = uint64_t{g.table_bytes()} + g.dir_bytes();
    len += static_cast<uint32_t>(meta < size - kHeaderSize ? meta : size - kHeaderSize);
    if (len < kHeaderSize + 4) len = kHeaderSize + 4;  // entries 0 and 1
  }
  auto* buf = static_cast<uint8_t*>(ZeroAlloc(len));
  if (buf == nullptr) return false;
  std::memcpy(buf, header, kHeaderSize);
  if (len > kHeaderSize) {
    StoreU16(buf, kHeaderSize, kLinkEnd);
    StoreU16(buf, kHeaderSize + 2, kLinkReserved);
  }
  uint32_t done = 0;
  const bool ok = file->WriteAt(0, buf, len, &done) && done == len && file->Flush();
  ZeroFree(buf);
  return ok;
}

// Directory entries the handle holds for a file of `file_size` bytes: those
// that lie (partly) inside the file, plus one, at most D, and at most T - 1:
// every stream takes at least one of the T - 2 data blocks, so no more than
// T - 2 streams exist at once, and a write needs one free slot beyond them.
// Slots are filled lowest first, so a container written this way never uses
// one above that; a foreign stream in a higher slot is left as it is on disk.
uint32_t DirEntriesHeld(const Geometry& g, uint32_t file_size) {
  const uint32_t end = g.dir_offset + g.dir_bytes();
  const uint32_t in_file = file_size <= g.dir_offset ? 0
                           : file_size >= end        ? g.dir_bytes()
                                                     : file_size - g.dir_offset;
  uint32_t held = (in_file + kDirEntrySize - 1) / kDirEntrySize + 1;
  if (held > g.table_entries - 1) held = g.table_entries - 1;
  return held < g.dir_entries ? held : g.dir_entries;
}

}  // namespace

bool MiniFileHandleUsable(const MiniFileHandle* h) {
  if (h == nullptr || reinterpret_cast<uintptr_t>(h) == UINTPTR_MAX) return false;
  return h->magic == kHandleMagic;
}

MiniFileHandle* MiniFileOpen(const char16_t* path) {
  if (path == nullptr) return nullptr;
  // Held as every writer holds a container, so that its recovery never
  // touches the journal of a writer still at work; the journal is the file's.
  platform::WriterOpen opened = platform::OpenContainerForWriter(path, platform::kWriterWaitMs);
  if (opened.status != platform::WriterOpenStatus::kOk) return nullptr;
  std::unique_ptr<JournalSite> journal = JournalOfFile(path, opened.file.get());
  if (!journal) return nullptr;
  return MiniFileOpenFile(std::move(opened.file), std::move(journal));
}

MiniFileHandle* MiniFileOpenFile(std::unique_ptr<platform::File> file,
                                 std::unique_ptr<JournalSite> journal) {
  return MiniFileOpenWith(std::move(file), std::move(journal), nullptr);
}

MiniFileHandle* MiniFileOpenWith(std::unique_ptr<platform::File> file,
                                 std::unique_ptr<JournalSite> journal,
                                 const CreationParameters* parameters) {
  if (!file) return nullptr;
  const CreationParameters params =
      parameters != nullptr ? NormalizedCreationParameters(*parameters) : GetCreationParameters();
  // An interrupted write that reused blocks is undone before anything of the
  // container is read.
  if (journal && !RecoverFromJournal(journal.get(), file.get())) return nullptr;
  auto* header = static_cast<uint8_t*>(ZeroAlloc(kHeaderSize));
  if (header == nullptr) return nullptr;

  Geometry g;
  uint32_t done = 0;
  uint32_t file_size = 0;
  // A header that cannot be read (unlike one that is short or damaged) may be
  // sound: nothing is written, the open fails.
  if (!file->ReadAt(0, header, kHeaderSize, &done) || !file->Size(&file_size)) {
    ZeroFree(header);
    return nullptr;
  }
  bool fresh =
      done != kHeaderSize || MiniFileCheckHeader(header) == 0 || !GeometryFromHeader(header, &g);
  if (fresh) {
    // A fresh header whose own counts lie outside the format (creation
    // parameters chosen so) is never written: the open fails instead.
    MiniFileInitHeaderWith(header, params);
    if (!GeometryFromHeader(header, &g) || !WriteFreshHeader(file.get(), header, g)) {
      ZeroFree(header);
      return nullptr;
    }
  }

  void* mem = ZeroAlloc(sizeof(MiniFileHandle));
  if (mem == nullptr) {
    ZeroFree(header);
    return nullptr;
  }
  auto* h = new (mem) MiniFileHandle();
  h->geometry = g;
  h->pad_last_block = params.padLastBlock;
  h->dir_held = DirEntriesHeld(g, fresh ? kHeaderSize : file_size);
  const uint32_t meta_bytes = h->meta_bytes();
  h->meta = static_cast<uint8_t*>(ZeroAlloc(meta_bytes));
  h->scratch = static_cast<uint8_t*>(ZeroAlloc(meta_bytes));
  h->marks = static_cast<uint8_t*>(ZeroAlloc(g.table_entries));
  h->block_buffer_size = g.block_size < kMaxBlockBuffer ? g.block_size : kMaxBlockBuffer;
  h->block_buffer = static_cast<uint8_t*>(ZeroAlloc(h->block_buffer_size));
  bool ok = h->meta != nullptr && h->scratch != nullptr && h->marks != nullptr &&
            h->block_buffer != nullptr;
  // A replaced header starts an empty container. Otherwise the table and the
  // directory are read as one range; what the file does not hold stays zero,
  // but a read error fails the open, so that a later flush cannot write an
  // empty table over streams that are on disk.
  if (ok && !fresh) ok = file->ReadAt(kTableOffset, h->meta, meta_bytes, &done);
  h->journal = std::move(journal);
  if (!ok) {
    DestroyHandle(h);
    ZeroFree(header);
    return nullptr;
  }
  StoreU16(h->meta, 0, kLinkEnd);
  StoreU16(h->meta, 2, kLinkReserved);
  std::memcpy(h->key, header + kHeaderKeyOffset, kHeaderKeySize);
  h->file = std::move(file);
  h->magic = kHandleMagic;
  ZeroFree(header);
  return h;
}

// Writes table and directory with one write, then flushes. False when either
// did not complete.
bool FlushMeta(MiniFileHandle* h) {
  const uint32_t len = h->meta_bytes();
  uint32_t done = 0;
  const bool ok = h->file->WriteAt(h->geometry.table_offset, h->meta, len, &done) && done == len &&
                  h->file->Flush();
  h->dirty = 0;
  return ok;
}

void MiniFileFlush(MiniFileHandle* h) {
  if (!MiniFileHandleUsable(h) || h->dirty == 0) return;
  FlushMeta(h);
}

void MiniFileClose(MiniFileHandle* h) {
  if (!MiniFileHandleUsable(h)) return;
  h->magic = 0;
  h->file.reset();
  DestroyHandle(h);
}

}  // namespace tl
