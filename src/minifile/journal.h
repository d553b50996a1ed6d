// The rollback journal of a container: the original bytes of everything a
// stream write is about to overwrite in place, kept in a file beside the
// container ("<container path>-journal") for exactly as long as that write can
// be interrupted. A stream write needs one only when the new stream can fit
// solely by reusing blocks of the stream it replaces; every other write leaves
// live bytes untouched and makes no journal.
//
// Protocol of a write that reuses blocks: the journal is written whole and
// flushed before the first byte of the container changes; its deletion after
// the new table and directory are flushed is the commit point. An open that
// finds a complete journal of its container writes the saved bytes back and
// flushes them (the container then holds the older state exactly), then
// deletes the journal; an incomplete one is deleted, since the container was
// not touched before the journal was complete and flushed. Rolling back twice
// is harmless.
//
// Journal file, version 3 (all integers little-endian):
//   OFFSET  SIZE  CONTENT
//        0     4  magic 'MFJL' = 0x4C4A464D
//        4     4  version: 3 (1 and 2 are still read, see below)
//        8     4  size of the container when the journal was made
//       12     4  record count N (at least 1)
//       16     4  total length L of the journal in bytes
//       20     4  reserved, 0
//       24     4  length of the header image: 128
//       28     4  container offset A of the table and directory
//       32     4  length M of the table and directory
//       36     4  reserved, 0
//       40   128  header image: the container's first 128 bytes
//      168     M  after image: the table and directory as the write leaves them
//    168+M     .  N records: u32 container offset, u32 length, then that many
//                 original bytes; the first record is the before image, the
//                 table and directory as they were (offset A, length M)
//      L-4     4  CRC-32 over bytes 0..L-5
// A journal is complete when it is exactly L bytes long, its records fill the
// space up to L-4 exactly, none ends past 2 GiB, and the CRC matches.
//
// Which container a journal belongs to is told by content, so that a
// container copied or restored together with its journal recovers wherever it
// lies: a version 3 journal is applied only to a file whose first 128 bytes
// equal the header image (the header holds the container's own key) and whose
// every byte of the table and directory equals the before image's or the after
// image's byte at that place. An interrupted write leaves exactly such a file:
// before its table write the older table and directory, after it the newer,
// and a write torn anywhere a mix of the two. Rolling back rewrites the before
// image first, so an interrupted rollback leaves the same kind of mix. A
// journal of any other file (another container renamed into place, one
// replaced since) fails the test: it is neither applied nor deleted.
//
// Older versions: version 2 has no images; its bytes 24..39 name the file it
// was made for (volume or device, file index or inode), and it is applied only
// to that file (or where the identity is unknown), records from offset 40.
// Version 1 has a 24-byte header and is applied as it stands.
//
// The saved container size is informative: bytes past it that the write added
// lie in blocks the older table marks free (and the saved table and directory
// are complete, zero where the file did not reach), so the older state needs
// no truncation.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/file.h"

namespace tl {

inline constexpr uint32_t kJournalMagicOffset = 0;
inline constexpr uint32_t kJournalVersionOffset = 4;
inline constexpr uint32_t kJournalContainerSizeOffset = 8;
inline constexpr uint32_t kJournalRecordCountOffset = 12;
inline constexpr uint32_t kJournalLengthOffset = 16;
inline constexpr uint32_t kJournalReservedOffset = 20;
inline constexpr uint32_t kJournalHeaderSizeV1 = 24;
// Version 2: the identity of the file it was made for.
inline constexpr uint32_t kJournalVolumeOffset = 24;
inline constexpr uint32_t kJournalFileIndexOffset = 32;
// Version 3: where the images lie.
inline constexpr uint32_t kJournalHeaderImageLengthOffset = 24;
inline constexpr uint32_t kJournalMetaOffsetOffset = 28;
inline constexpr uint32_t kJournalMetaLengthOffset = 32;
inline constexpr uint32_t kJournalReserved36Offset = 36;
inline constexpr uint32_t kJournalHeaderSize = 40;  // versions 2 and 3
inline constexpr uint32_t kJournalHeaderImageSize = 128;
inline constexpr uint32_t kJournalImagesOffset = kJournalHeaderSize;
inline constexpr uint32_t kJournalRecordHeaderSize = 8;  // offset, length
inline constexpr uint32_t kJournalCheckSize = 4;
static_assert(kJournalReservedOffset + 4 == kJournalHeaderSizeV1);
static_assert(kJournalVolumeOffset == kJournalHeaderSizeV1);
static_assert(kJournalFileIndexOffset + 8 == kJournalHeaderSize);
static_assert(kJournalHeaderImageLengthOffset == kJournalHeaderSizeV1);
static_assert(kJournalReserved36Offset + 4 == kJournalHeaderSize);

inline constexpr uint32_t kJournalMagic = 0x4C4A464D;  // 'MFJL'
inline constexpr uint32_t kJournalVersion = 3;
inline constexpr uint32_t kJournalVersion2 = 2;
inline constexpr uint32_t kJournalVersion1 = 1;
inline constexpr char16_t kJournalSuffix[] = u"-journal";

// kForeign: a complete journal that belongs to another container (told only
// where the container itself is at hand); it is never applied or deleted.
enum class JournalState { kNone, kComplete, kIncomplete, kForeign };

// The journal of the container at `container_path` (named after its resolved
// path): kNone when there is no journal file, kIncomplete when there is one
// that is not complete (or cannot be read), kForeign when it is complete but
// not this container's. Reads only.
JournalState InspectJournal(const char16_t* container_path);

// Rolls a complete journal back / discards an incomplete one, holding the
// container as its one writer (waiting up to `wait_ms` for another); true when
// no journal of the container remains (another container's journal is left
// where it is and counts as none). `open`, when given, gets how the writer's
// open ended (kInUse: another writer held it; kFailed: this process may not
// write it).
bool RecoverContainer(const char16_t* container_path, uint32_t wait_ms = platform::kWriterWaitMs,
                      platform::WriterOpenStatus* open = nullptr);

// Where one container keeps its journal. The library uses the file beside the
// container; tests supply their own to keep journals in memory or to wrap the
// journal's file for fault injection.
class JournalSite {
 public:
  virtual ~JournalSite() = default;
  // A new, empty journal file for reading and writing; null on failure.
  virtual std::unique_ptr<platform::File> Create() = 0;
  // The existing journal for reading; null when there is none or it cannot be
  // opened (Exists() tells the two apart).
  virtual std::unique_ptr<platform::File> Open() = 0;
  virtual bool Exists() = 0;
  // Deletes the journal; true when none remains.
  virtual bool Remove() = 0;
};

// The journal file "<container_path>-journal"; null when the memory cannot be
// had or the path is null.
std::unique_ptr<JournalSite> JournalBeside(const char16_t* container_path);

// The journal of the container at `container_path`, named after the file's
// path with every link resolved (`file`: the container, open; null: opened
// here for reading to find that path); beside the path as given when it
// cannot be resolved. Null when the memory cannot be had.
std::unique_ptr<JournalSite> JournalOfFile(const char16_t* container_path, platform::File* file);

// A non-owning view of `target`, which must outlive it. Null without memory.
std::unique_ptr<JournalSite> BorrowJournalSite(JournalSite* target);

// The state of the journal at `site` (reads only); with `container`, a
// complete journal that does not belong to it is kForeign.
JournalState InspectJournalAt(JournalSite* site, platform::File* container = nullptr);

// Writes what a complete journal of `target`'s container saved into `target`
// (a copy of the container's bytes, kept in memory), leaving the journal as it
// is: the state a rollback would leave, for a reader that may not write the
// container. True when the journal was applied.
bool ApplyJournalToCopy(JournalSite* site, platform::File* target);

// Brings `container` back to the state the journal at `site` saved (written
// and flushed), then deletes the journal; an incomplete journal is only
// deleted. A complete journal of another container is left as it is and not
// applied. True when no journal of this container remains; false
// when one exists but cannot be read, applied or deleted (the container may
// then be half rolled back, and the journal stays for the next attempt).
bool RecoverFromJournal(JournalSite* site, platform::File* container);

// Writes a journal in one pass: Begin with the record count and the total of
// their lengths, then each record, then Finish, which adds the check and
// flushes. Every call returns false once a write has failed.
class JournalWriter {
 public:
  explicit JournalWriter(platform::File* file) : file_(file) {}
  // The journal length for `records` records holding `bytes` bytes in all,
  // beside images of a table and directory of `meta_len` bytes.
  static uint64_t LengthFor(uint32_t records, uint64_t bytes, uint32_t meta_len) {
    return kJournalHeaderSize + kJournalHeaderImageSize + uint64_t{meta_len} +
           uint64_t{kJournalRecordHeaderSize} * records + bytes + kJournalCheckSize;
  }
  // Writes the head and the images: the container's header (128 bytes) and
  // its table and directory at `meta_offset` as the write will leave them
  // (`after`, `meta_len` bytes). The first Record must be the before image:
  // the same range as it is now.
  bool Begin(uint32_t container_size, uint32_t records, uint64_t bytes, const uint8_t* header_image,
             uint32_t meta_offset, const uint8_t* after, uint32_t meta_len);
  bool Record(uint32_t offset, const uint8_t* bytes, uint32_t len);
  bool Finish();

 private:
  bool Put(const void* data, uint32_t len);

  platform::File* file_;
  uint32_t at_ = 0;
  uint32_t length_ = 0;
  uint32_t crc_ = 0;
  bool ok_ = false;
};

}  // namespace tl
