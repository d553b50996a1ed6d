#include "minifile/container_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "common/le.h"
#include "common/u16.h"
#include "minifile/container_snapshot.h"
#include "minifile/dir_entry.h"
#include "minifile/memory_file.h"
#include "minifile/rc4.h"

namespace tl {

const char* DefectName(Defect d) {
  switch (d) {
    case Defect::kNone:
      return "none";
    case Defect::kHeaderShort:
      return "header-short";
    case Defect::kHeaderMagic:
      return "header-magic";
    case Defect::kHeaderVersion:
      return "header-version";
    case Defect::kHeaderCrc:
      return "header-crc";
    case Defect::kHeaderGeometry:
      return "header-geometry";
    case Defect::kReservedEntry:
      return "reserved-entry";
    case Defect::kNameUnterminated:
      return "name-unterminated";
    case Defect::kNameEmpty:
      return "name-empty";
    case Defect::kNameDuplicate:
      return "name-duplicate";
    case Defect::kLinkOutOfRange:
      return "link-out-of-range";
    case Defect::kLinkToReserved:
      return "link-to-reserved";
    case Defect::kChainFreeBlock:
      return "chain-free-block";
    case Defect::kChainLoop:
      return "chain-loop";
    case Defect::kBlockShared:
      return "block-shared";
    case Defect::kChainShort:
      return "chain-short";
    case Defect::kChainLong:
      return "chain-long";
    case Defect::kBlockPastEnd:
      return "block-past-end";
    case Defect::kBlockOrphaned:
      return "block-orphaned";
    case Defect::kNotPresent:
      return "not-present";
    case Defect::kReadFailed:
      return "read-failed";
    case Defect::kNoMemory:
      return "no-memory";
  }
  return "unknown";
}

// The blocks of one chain, in order, and who owns which block across walks.
struct ContainerReader::Walk {
  std::vector<uint16_t> blocks;
  std::vector<int32_t>* owner = nullptr;  // per table entry: owning entry index + 1, or 0
  int32_t entry = -1;
  int32_t bad_block = -1;  // the block where the walk stopped on a defect
};

namespace {

// Per directory slot: true for a present, named stream whose name an earlier
// present stream already has (folding 'A'-'Z'). Sorting by folded name keeps
// this O(D log D) for directories of any size.
std::vector<bool> LaterDuplicates(const std::vector<DirEntryInfo>& entries) {
  std::vector<std::pair<std::u16string, uint32_t>> named;
  for (const DirEntryInfo& e : entries) {
    if (!e.present() || e.name.empty()) continue;
    std::u16string folded = e.name;
    for (char16_t& c : folded) c = U16FoldAscii(c);
    named.emplace_back(std::move(folded), e.index);
  }
  std::sort(named.begin(), named.end());
  std::vector<bool> duplicate(entries.size(), false);
  for (size_t k = 1; k < named.size(); ++k) {
    if (named[k].first == named[k - 1].first) duplicate[named[k].second] = true;
  }
  return duplicate;
}

}  // namespace

ContainerReader::ContainerReader() = default;
ContainerReader::~ContainerReader() = default;

bool ContainerReader::Open(const char16_t* path) {
  if (path == nullptr) return false;
  ContainerSnapshot snapshot = TakeContainerSnapshot(path);
  const bool ok = OpenFile(std::move(snapshot.bytes));
  journal_state_ = snapshot.journal;
  rolled_back_ = snapshot.rolled_back;
  discarded_ = snapshot.discarded;
  open_status_ = snapshot.status;
  open_error_ = snapshot.system_error;
  return ok;
}

bool ContainerReader::OpenBytes(const void* data, size_t size) {
  if (data == nullptr && size != 0) return false;
  return OpenFile(MemoryFile::FromBytes(data, size));
}

bool ContainerReader::OpenFile(std::unique_ptr<platform::File> file) {
  file_.reset();
  table_.clear();
  entries_.clear();
  std::memset(header_, 0, sizeof header_);
  geometry_ = Geometry();
  header_defect_ = Defect::kHeaderShort;
  file_size_ = 0;
  journal_state_ = JournalState::kNone;
  rolled_back_ = false;
  discarded_ = false;
  open_status_ = platform::WriterOpenStatus::kOk;
  open_error_ = 0;
  if (!file || !file->Size(&file_size_)) return false;
  uint32_t done = 0;
  if (!file->ReadAt(0, header_, kHeaderSize, &done)) return false;
  file_ = std::move(file);
  if (done < kHeaderSize) return true;
  if (LoadU32(header_, kHeaderMagicOffset) != kHeaderMagic) {
    header_defect_ = Defect::kHeaderMagic;
  } else if (LoadU32(header_, kHeaderVersionOffset) > kHeaderVersion) {
    header_defect_ = Defect::kHeaderVersion;
  } else if (LoadU32(header_, kHeaderCrcOffset) != HeaderCrc(header_)) {
    header_defect_ = Defect::kHeaderCrc;
  } else if (!GeometryFromHeader(header_, &geometry_)) {
    header_defect_ = Defect::kHeaderGeometry;
  } else {
    header_defect_ = Defect::kNone;
  }
  if (header_defect_ != Defect::kNone) return true;

  // Only what the file holds is read: the table is at most 128 KiB, and the
  // directory is listed only as far as the file reaches, so no allocation here
  // exceeds the file's own size.
  const Geometry& g = geometry_;
  const uint32_t avail = file_size_ > kTableOffset ? file_size_ - kTableOffset : 0;
  const uint32_t table_len = avail < g.table_bytes() ? avail : g.table_bytes();
  const uint32_t after_table = avail - table_len;
  const uint32_t dir_len = after_table < g.dir_bytes() ? after_table : g.dir_bytes();
  try {
    std::vector<uint8_t> bytes(table_len + dir_len);
    if (!file_->ReadAt(kTableOffset, bytes.data(), table_len + dir_len, &done)) {
      file_.reset();
      return false;
    }
    table_.assign(g.table_entries, 0);
    for (uint32_t k = 0; 2 * k + 1 < done && k < g.table_entries; ++k) {
      table_[k] = LoadU16(bytes.data(), 2 * k);
    }
    const uint32_t dir_done = done > table_len ? done - table_len : 0;
    const uint32_t listed = (dir_done + kDirEntrySize - 1) / kDirEntrySize;
    uint8_t raw[kDirEntrySize];
    entries_.resize(listed);
    for (uint32_t e = 0; e < listed; ++e) {
      std::memset(raw, 0, sizeof raw);
      const uint32_t start = e * kDirEntrySize;
      const uint32_t n = dir_done - start < kDirEntrySize ? dir_done - start : kDirEntrySize;
      std::memcpy(raw, bytes.data() + table_len + start, n);
      DirEntryInfo& info = entries_[e];
      info.index = e;
      const uint32_t len = DirEntryNameLength(raw);
      info.name.resize(len);
      for (uint32_t k = 0; k < len; ++k) {
        info.name[k] = static_cast<char16_t>(LoadU16(raw, kDirEntryNameOffset + 2 * k));
      }
      info.size = LoadU32(raw, kDirEntrySizeOffset);
      info.first_block = LoadU16(raw, kDirEntryFirstBlockOffset);
      info.time = LoadU64(raw, kDirEntryTimeOffset);
      info.flags = LoadU16(raw, kDirEntryFlagsOffset);
    }
  } catch (const std::bad_alloc&) {
    file_.reset();
    table_.clear();
    entries_.clear();
    return false;
  }
  return true;
}

uint16_t ContainerReader::Link(uint32_t index) const {
  return index < table_.size() ? table_[index] : 0;
}

int ContainerReader::FindStream(const char16_t* name) const {
  if (name == nullptr) return -1;
  const size_t len = U16Len(name, kDirEntryNameUnits + 1);
  for (const DirEntryInfo& e : entries_) {
    if (!e.present() || e.name.size() != len) continue;
    bool equal = true;
    for (size_t k = 0; k < len && equal; ++k) {
      equal = U16FoldAscii(e.name[k]) == U16FoldAscii(name[k]);
    }
    if (equal) return static_cast<int>(e.index);
  }
  return -1;
}

// Follows the chain of `e`, collecting its blocks, until the end link or the
// first defect. At most one block per table entry is visited, and a chain is
// never followed past the block count its size needs.
Defect ContainerReader::WalkChain(const DirEntryInfo& e, Walk* walk) const {
  const Geometry& g = geometry_;
  const uint64_t expected = (uint64_t{e.size} + g.block_size - 1) / g.block_size;
  walk->blocks.clear();
  walk->bad_block = -1;
  uint32_t b = e.first_block;
  if (b == kLinkEnd) return expected == 0 ? Defect::kNone : Defect::kChainShort;
  for (;;) {
    walk->bad_block = static_cast<int32_t>(b);
    if (b < kFirstDataBlock) return Defect::kLinkToReserved;
    if (b >= g.block_limit) return Defect::kLinkOutOfRange;
    const int32_t owner = (*walk->owner)[b];
    if (owner == walk->entry + 1) return Defect::kChainLoop;
    if (owner != 0) return Defect::kBlockShared;
    if (walk->blocks.size() >= expected) return Defect::kChainLong;
    (*walk->owner)[b] = walk->entry + 1;
    walk->blocks.push_back(static_cast<uint16_t>(b));
    const uint16_t next = table_[b];
    if (next == kLinkEnd) break;
    if (next == kLinkFree) return Defect::kChainFreeBlock;
    b = next;
  }
  walk->bad_block = -1;
  if (walk->blocks.size() < expected) return Defect::kChainShort;
  // The stream's last byte must lie inside the file; earlier blocks lie lower
  // unless the chain falls, so each block is checked.
  for (size_t k = 0; k < walk->blocks.size(); ++k) {
    const uint64_t in_block =
        k + 1 < walk->blocks.size() ? g.block_size : e.size - uint64_t{g.block_size} * k;
    if (uint64_t{g.BlockOffset(walk->blocks[k])} + in_block > file_size_) {
      walk->bad_block = walk->blocks[k];
      return Defect::kBlockPastEnd;
    }
  }
  return Defect::kNone;
}

Defect ContainerReader::ReadStream(uint32_t entry, std::vector<uint8_t>* out) const {
  const Defect d = ReadStreamPrefix(entry, out);
  if (d != Defect::kNone) out->clear();
  return d;
}

Defect ContainerReader::ReadStreamPrefix(uint32_t entry, std::vector<uint8_t>* out,
                                         int32_t* stopped_at) const {
  out->clear();
  StreamPieces pieces;
  Defect d = OpenStreamPieces(entry, &pieces, stopped_at);
  if (pieces.file_ == nullptr) return d;
  try {
    std::vector<uint8_t> bytes(pieces.length());
    size_t offset = 0;
    size_t got = 0;
    while (offset < bytes.size() &&
           pieces.Next(bytes.data() + offset, bytes.size() - offset, &got) && got != 0) {
      offset += got;
    }
    if (pieces.defect() == Defect::kReadFailed) return Defect::kReadFailed;
    if (pieces.defect() != Defect::kNone && d == Defect::kNone) d = pieces.defect();
    bytes.resize(offset);
    out->swap(bytes);
    return d;
  } catch (const std::bad_alloc&) {
    return Defect::kNoMemory;
  }
}

Defect ContainerReader::OpenStreamPieces(uint32_t entry, StreamPieces* out,
                                         int32_t* stopped_at) const {
  *out = StreamPieces();
  if (stopped_at != nullptr) *stopped_at = -1;
  if (!header_valid() || !file_) return header_defect_;
  if (entry >= entries_.size() || !entries_[entry].present()) return Defect::kNotPresent;
  const DirEntryInfo& e = entries_[entry];
  const Geometry& g = geometry_;
  try {
    std::vector<int32_t> owner(g.table_entries, 0);
    Walk walk;
    walk.owner = &owner;
    walk.entry = static_cast<int32_t>(entry);
    const Defect d = WalkChain(e, &walk);
    if (stopped_at != nullptr) *stopped_at = walk.bad_block;
    // What the blocks walked hold of the stream inside the file: a reader's
    // buffer sized from it is bounded by the file's size.
    for (uint16_t b : walk.blocks) {
      if (out->readable_ == e.size) break;
      const uint64_t want = std::min<uint64_t>(g.block_size, e.size - out->readable_);
      const uint64_t start = g.BlockOffset(b);
      const uint64_t held = start < file_size_ ? std::min<uint64_t>(want, file_size_ - start) : 0;
      out->starts_.push_back(start);
      out->lengths_.push_back(static_cast<uint32_t>(held));
      out->readable_ += held;
      if (held < want) break;
    }
    Rc4SetKey(&out->rc4_, header_ + kHeaderKeyOffset);
    // A snapshot's bytes are unscrambled straight out of it: one pass over
    // them instead of a copy and a pass over the copy.
    out->held_ = file_->HeldBytes(&out->held_size_);
    out->file_ = file_.get();
    return d;
  } catch (const std::bad_alloc&) {
    *out = StreamPieces();
    return Defect::kNoMemory;
  }
}

bool StreamPieces::Next(uint8_t* out, size_t room, size_t* got) {
  *got = 0;
  if (defect_ != Defect::kNone || file_ == nullptr) return false;
  while (*got < room && block_ < lengths_.size()) {
    const uint32_t left = lengths_[block_] - in_block_;
    const uint32_t want = static_cast<uint32_t>(std::min<size_t>(left, room - *got));
    const uint64_t at = starts_[block_] + in_block_;
    uint32_t done = 0;
    if (held_ != nullptr) {
      done = at < held_size_ ? static_cast<uint32_t>(std::min<uint64_t>(want, held_size_ - at)) : 0;
      Rc4Crypt(&rc4_, done, held_ + at, out + *got);
    } else {
      if (!file_->ReadAt(static_cast<uint32_t>(at), out + *got, want, &done)) {
        defect_ = Defect::kReadFailed;
        return false;
      }
      Rc4Crypt(&rc4_, done, out + *got, out + *got);
    }
    *got += done;
    in_block_ += done;
    if (done != want) {
      defect_ = Defect::kBlockPastEnd;
      return *got != 0;
    }
    if (in_block_ == lengths_[block_]) {
      ++block_;
      in_block_ = 0;
    }
  }
  return true;
}

std::vector<Finding> ContainerReader::Verify() const {
  std::vector<Finding> found;
  try {
    if (!header_valid()) {
      found.push_back({header_defect_, -1, -1});
      return found;
    }
    const Geometry& g = geometry_;
    // Entries 0 and 1 are checked only where the file holds them: a container
    // that never had a stream written ends after its header.
    const uint32_t table_end = file_size_ - kTableOffset < g.table_bytes()
                                   ? (file_size_ > kTableOffset ? file_size_ - kTableOffset : 0)
                                   : g.table_bytes();
    if ((table_end >= 2 && table_[0] != kLinkEnd) ||
        (table_end >= 4 && table_[1] != kLinkReserved)) {
      found.push_back({Defect::kReservedEntry, -1, table_[0] != kLinkEnd ? 0 : 1});
    }
    const std::vector<bool> duplicate = LaterDuplicates(entries_);
    std::vector<int32_t> owner(g.table_entries, 0);
    Walk walk;
    walk.owner = &owner;
    for (const DirEntryInfo& e : entries_) {
      const auto index = static_cast<int32_t>(e.index);
      if (e.name.size() == kDirEntryNameUnits)
        found.push_back({Defect::kNameUnterminated, index, -1});
      if (!e.present()) continue;
      if (e.name.empty()) found.push_back({Defect::kNameEmpty, index, -1});
      if (duplicate[e.index]) found.push_back({Defect::kNameDuplicate, index, -1});
      walk.entry = index;
      const Defect d = WalkChain(e, &walk);
      if (d != Defect::kNone) found.push_back({d, index, walk.bad_block});
    }
    for (uint32_t b = kFirstDataBlock; b < g.table_entries; ++b) {
      if (table_[b] != kLinkFree && owner[b] == 0) {
        found.push_back({Defect::kBlockOrphaned, -1, static_cast<int32_t>(b)});
      }
    }
  } catch (const std::bad_alloc&) {
    found.push_back({Defect::kNoMemory, -1, -1});
  }
  return found;
}

}  // namespace tl
