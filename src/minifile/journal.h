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
// finds a complete journal writes the saved bytes back and flushes them (the
// container then holds the older state exactly), then deletes the journal; an
// incomplete one is deleted, since the container was not touched before the
// journal was complete and flushed. Rolling back twice is harmless.
//
// Journal file (all integers little-endian):
//   OFFSET  SIZE  CONTENT
//        0     4  magic 'MFJL' = 0x4C4A464D
//        4     4  version: 2 (1: written before journals named their file)
//        8     4  size of the container when the journal was made
//       12     4  record count N
//       16     4  total length L of the journal in bytes
//       20     4  reserved, 0
//       24     8  version 2 only: the container's volume (POSIX: device)
//       32     8  version 2 only: the container's file index (POSIX: inode)
//      H       .  N records (H = 24 for version 1, 40 for version 2): u32
//                 container offset, u32 length, then that many original bytes
//      L-4     4  CRC-32 over bytes 0..L-5
// A journal is complete when it is exactly L bytes long, its records fill the
// space up to L-4 exactly, none ends past 2 GiB, and the CRC matches.
// The journal belongs to one file: its name comes from the container's path
// with every link resolved, and a version 2 journal whose identity is known
// is applied only to the file of that identity (a journal of another file, or
// one made when the identity could not be had, zero, is never applied to a
// file whose identity is known and differs). Version 1 journals are applied as
// before.
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
inline constexpr uint32_t kJournalVolumeOffset = 24;
inline constexpr uint32_t kJournalFileIndexOffset = 32;
inline constexpr uint32_t kJournalHeaderSize = 40;
inline constexpr uint32_t kJournalRecordHeaderSize = 8;  // offset, length
inline constexpr uint32_t kJournalCheckSize = 4;
static_assert(kJournalReservedOffset + 4 == kJournalHeaderSizeV1);
static_assert(kJournalVolumeOffset == kJournalHeaderSizeV1);
static_assert(kJournalFileIndexOffset + 8 == kJournalHeaderSize);

inline constexpr uint32_t kJournalMagic = 0x4C4A464D;  // 'MFJL'
inline constexpr uint32_t kJournalVersion = 2;
inline constexpr uint32_t kJournalVersion1 = 1;
inline constexpr char16_t kJournalSuffix[] = u"-journal";

enum class JournalState { kNone, kComplete, kIncomplete };

// The journal of the container at `container_path` (named after its resolved
// path): kNone when there is no journal file, kIncomplete when there is one
// that is not complete (or cannot be read). Reads only.
JournalState InspectJournal(const char16_t* container_path);

// Rolls a complete journal back / discards an incomplete one, holding the
// container as its one writer (waiting up to `wait_ms` for another); true when
// no journal of the container remains.
bool RecoverContainer(const char16_t* container_path, uint32_t wait_ms = platform::kWriterWaitMs);

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

// The state of the journal at `site` (reads only).
JournalState InspectJournalAt(JournalSite* site);

// Brings `container` back to the state the journal at `site` saved (written
// and flushed), then deletes the journal; an incomplete journal is only
// deleted. A complete journal made for another file (identity) is left as it
// is and not applied. True when no journal of this container remains; false
// when one exists but cannot be read, applied or deleted (the container may
// then be half rolled back, and the journal stays for the next attempt).
bool RecoverFromJournal(JournalSite* site, platform::File* container);

// Writes a journal in one pass: Begin with the record count and the total of
// their lengths, then each record, then Finish, which adds the check and
// flushes. Every call returns false once a write has failed.
class JournalWriter {
 public:
  explicit JournalWriter(platform::File* file) : file_(file) {}
  // The journal length for `records` records holding `bytes` bytes in all.
  static uint64_t LengthFor(uint32_t records, uint64_t bytes) {
    return kJournalHeaderSize + uint64_t{kJournalRecordHeaderSize} * records + bytes +
           kJournalCheckSize;
  }
  // `identity`: the container's (zero when it has none).
  bool Begin(uint32_t container_size, uint32_t records, uint64_t bytes,
             const platform::FileIdentity& identity = {});
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
