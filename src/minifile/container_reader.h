// A checked, read-only view of a container for tools and tests. It trusts
// nothing in the file: every defect it meets is reported by name, every walk is
// bounded by the table, and every allocation by the size of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "minifile/header.h"
#include "minifile/journal.h"
#include "minifile/rc4.h"
#include "platform/file.h"

namespace tl {

// Each defect has a stable text name (DefectName) that tools print.
enum class Defect : uint8_t {
  kNone,              // "none"
  kHeaderShort,       // "header-short": the file holds fewer than 128 bytes
  kHeaderMagic,       // "header-magic"
  kHeaderVersion,     // "header-version": above 0x10000
  kHeaderCrc,         // "header-crc"
  kHeaderGeometry,    // "header-geometry": counts or block size outside the format
  kReservedEntry,     // "reserved-entry": table entry 0 is not 0xFFFF or 1 not 0xFFFE
  kNameUnterminated,  // "name-unterminated": the 17th name code unit is not 0
  kNameEmpty,         // "name-empty": a present stream without a name
  kNameDuplicate,     // "name-duplicate": two present streams with the same name
  kLinkOutOfRange,    // "link-out-of-range": a first block or link at or beyond the table
  kLinkToReserved,    // "link-to-reserved": a first block or link naming entry 0 or 1
  kChainFreeBlock,    // "chain-free-block": a chain runs into a block marked free
  kChainLoop,         // "chain-loop": a chain returns to one of its own blocks
  kBlockShared,       // "block-shared": a block lies on the chains of two streams
  kChainShort,        // "chain-short": the chain ends before the stream's size
  kChainLong,         // "chain-long": the chain goes on past the stream's size
  kBlockPastEnd,      // "block-past-end": stream bytes lie beyond the end of the file
  kBlockOrphaned,     // "block-orphaned": a block in use on no stream's chain
  kNotPresent,        // "not-present": the entry holds no stream
  kReadFailed,        // "read-failed": the file could not be read
  kNoMemory,          // "no-memory"
};

const char* DefectName(Defect d);

// One finding of Verify(): `entry` is the directory slot (-1 when none) and
// `block` the table index concerned (-1 when none).
struct Finding {
  Defect defect;
  int32_t entry;
  int32_t block;
};

// One directory slot as stored.
struct DirEntryInfo {
  uint32_t index = 0;
  std::u16string name;  // up to the first zero, at most 17 units
  uint32_t size = 0;
  uint16_t first_block = 0;
  uint64_t time = 0;  // UTC FILETIME
  uint16_t flags = 0;
  bool present() const { return (flags & 0x80) != 0; }
  bool free() const { return name.empty(); }
};

// A stream's bytes in order, unscrambled piece by piece into the caller's
// buffer, so that a stream of any length is read with one piece's memory (see
// ContainerReader::OpenStreamPieces). Reads through the reader's file: the
// reader must outlive it.
class StreamPieces {
 public:
  // The bytes it gives when every read succeeds: those of the blocks the
  // chain's walk reached, cut at the stream's size and where the file ends.
  uint64_t length() const { return readable_; }
  // Fills up to `room` bytes at `out` with the next bytes (*got; 0 once all
  // are given). False when the file cannot be read there (defect()
  // kReadFailed) or now ends before it did (kBlockPastEnd).
  bool Next(uint8_t* out, size_t room, size_t* got);
  Defect defect() const { return defect_; }

 private:
  friend class ContainerReader;
  platform::File* file_ = nullptr;
  const uint8_t* held_ = nullptr;  // the file's bytes, when it holds them in memory
  uint32_t held_size_ = 0;
  Rc4State rc4_{};
  std::vector<uint64_t> starts_;   // file offset of each block walked
  std::vector<uint32_t> lengths_;  // bytes of the stream each one holds in the file
  size_t block_ = 0;               // the block the next byte comes from
  uint32_t in_block_ = 0;          // bytes of it given so far
  uint64_t readable_ = 0;
  Defect defect_ = Defect::kNone;
};

class ContainerReader {
 public:
  ContainerReader();
  ~ContainerReader();
  ContainerReader(const ContainerReader&) = delete;
  ContainerReader& operator=(const ContainerReader&) = delete;

  // Reads an existing container as a snapshot (container_snapshot.h): an
  // interrupted write is rolled back first (on disk, or in memory where the
  // container may not be written), then the bytes are read whole and the file
  // is released. False when it cannot be opened or read (open_status() and
  // open_error() say why); a damaged header still opens (see header_defect).
  bool Open(const char16_t* path);
  // The same over a copy of `size` bytes.
  bool OpenBytes(const void* data, size_t size);
  // The same over a given file.
  bool OpenFile(std::unique_ptr<platform::File> file);

  // kNone when the header passes the check and lies inside the format; then
  // geometry(), the table and the directory are available.
  Defect header_defect() const { return header_defect_; }
  bool header_valid() const { return header_defect_ == Defect::kNone; }
  const Geometry& geometry() const { return geometry_; }
  const uint8_t* header() const { return header_; }  // 128 bytes, zero past the file
  uint32_t file_size() const { return file_size_; }
  // When opened by path: the journal left beside the container (kComplete:
  // an interrupted write shown rolled back in memory, whose journal stays
  // because the container could not be written), and whether the open rolled
  // one back on disk. Always kNone / false when opened over bytes or a file.
  JournalState journal_state() const { return journal_state_; }
  bool rolled_back() const { return rolled_back_; }
  // An incomplete journal (of a write cut off before it changed anything)
  // was deleted.
  bool discarded_journal() const { return discarded_; }
  // Why Open failed: kInUse (a writer held the container for the whole
  // wait), kNotRegular, kFailed with the system's error (0: out of memory or
  // an unreadable journal).
  platform::WriterOpenStatus open_status() const { return open_status_; }
  uint32_t open_error() const { return open_error_; }

  // The file the reader reads (null before an open), for a read-only handle
  // over the same bytes.
  platform::File* file() const { return file_.get(); }

  // Table entry `index` as stored (0 past the end of the file); 0 for index >= T.
  uint16_t Link(uint32_t index) const;

  // Directory slots that lie (at least partly) inside the file, in order. Slots
  // beyond the end of the file are free and not listed.
  const std::vector<DirEntryInfo>& entries() const { return entries_; }

  // Index of the first present stream whose name equals `name` folding 'A'-'Z',
  // or -1.
  int FindStream(const char16_t* name) const;

  // Reads and unscrambles the stream of directory slot `entry` into `out`.
  // kNone on success, else the first defect met (`out` is then empty).
  Defect ReadStream(uint32_t entry, std::vector<uint8_t>* out) const;

  // Reads and unscrambles as much of that stream as its chain gives, for a
  // salvage of a damaged container: the bytes of the blocks before the first
  // defect of the chain, cut at the stream's size and where the file ends (a
  // block the file holds only in part gives that part). The keystream starts
  // at the stream's first byte, so the part read unscrambles as the whole
  // would. Returns the defect that ended the reading (kNone: the stream was
  // read whole; then `out` is what ReadStream gives) and, in *stopped_at,
  // the block where the chain's walk stopped on it (-1 when none).
  Defect ReadStreamPrefix(uint32_t entry, std::vector<uint8_t>* out,
                          int32_t* stopped_at = nullptr) const;

  // Prepares the reading of that prefix piece by piece (*out), for a reader
  // that walks a stream without holding it whole. Returns what
  // ReadStreamPrefix returns before reading a byte: kNotPresent, a header
  // defect or kNoMemory (*out then gives nothing), or the chain's defect.
  Defect OpenStreamPieces(uint32_t entry, StreamPieces* out, int32_t* stopped_at = nullptr) const;

  // Every defect of the container: the header's alone when it is invalid, else
  // every chain, name and table defect. Empty for a sound container.
  std::vector<Finding> Verify() const;

 private:
  struct Walk;
  Defect WalkChain(const DirEntryInfo& e, Walk* walk) const;

  std::unique_ptr<platform::File> file_;
  Defect header_defect_ = Defect::kHeaderShort;
  uint8_t header_[kHeaderSize] = {};
  Geometry geometry_;
  uint32_t file_size_ = 0;
  JournalState journal_state_ = JournalState::kNone;
  bool rolled_back_ = false;
  bool discarded_ = false;
  platform::WriterOpenStatus open_status_ = platform::WriterOpenStatus::kOk;
  uint32_t open_error_ = 0;
  std::vector<uint16_t> table_;
  std::vector<DirEntryInfo> entries_;
};

}  // namespace tl
