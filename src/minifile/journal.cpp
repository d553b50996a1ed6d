// The rollback journal: writing, checking, rolling back, and its file beside
// the container.
#include "minifile/journal.h"

#include <cstring>
#include <new>
#include <string>

#include "common/crc32.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "minifile/header.h"

namespace tl {
namespace {

constexpr uint32_t kScanBuffer = 0x10000;
static_assert(kJournalHeaderImageSize == kHeaderSize);

enum class Scan { kComplete, kIncomplete, kUnreadable, kApplyFailed, kOtherFile };

// What ScanJournal does beyond checking the journal whole.
enum class ScanMode {
  kCheck,  // only whether it is complete
  kBind,   // and whether it belongs to the container
  kApply,  // and, when it does, write its records there and flush
};

// Reads exactly `len` bytes at `offset`; kIncomplete when the file ends first.
Scan ReadExact(platform::File* f, uint32_t offset, uint8_t* buf, uint32_t len) {
  uint32_t done = 0;
  if (!f->ReadAt(offset, buf, len, &done)) return Scan::kUnreadable;
  return done == len ? Scan::kComplete : Scan::kIncomplete;
}

// Reads `len` bytes of the container at `offset`; what lies past its end
// reads as zero, as the format reads it.
bool ReadContainer(platform::File* f, uint32_t offset, uint8_t* buf, uint32_t len) {
  uint32_t done = 0;
  if (!f->ReadAt(offset, buf, len, &done)) return false;
  if (done < len) std::memset(buf + done, 0, len - done);
  return true;
}

// The head of a journal, as far as its version has one.
struct Head {
  uint32_t version = 0;
  uint32_t size = 0;  // of the journal file
  uint32_t records = 0;
  uint32_t head_size = 0;    // where the images (version 3) or the records begin
  uint32_t records_at = 0;   // where the records begin
  uint32_t meta_offset = 0;  // version 3: the table and directory in the container
  uint32_t meta_len = 0;
  platform::FileIdentity made_for;  // version 2
};

Scan ReadHead(platform::File* j, Head* h) {
  if (!j->Size(&h->size)) return Scan::kUnreadable;
  if (h->size < kJournalHeaderSizeV1 + kJournalCheckSize) return Scan::kIncomplete;
  uint8_t head[kJournalHeaderSize] = {};
  Scan s = ReadExact(j, 0, head, kJournalHeaderSizeV1);
  if (s != Scan::kComplete) return s;
  h->version = LoadU32(head, kJournalVersionOffset);
  if (LoadU32(head, kJournalMagicOffset) != kJournalMagic ||
      (h->version != kJournalVersion && h->version != kJournalVersion2 &&
       h->version != kJournalVersion1) ||
      LoadU32(head, kJournalLengthOffset) != h->size) {
    return Scan::kIncomplete;
  }
  h->records = LoadU32(head, kJournalRecordCountOffset);
  h->head_size = h->version == kJournalVersion1 ? kJournalHeaderSizeV1 : kJournalHeaderSize;
  if (h->size < h->head_size + kJournalCheckSize) return Scan::kIncomplete;
  if (h->head_size > kJournalHeaderSizeV1) {
    s = ReadExact(j, kJournalHeaderSizeV1, head + kJournalHeaderSizeV1,
                  h->head_size - kJournalHeaderSizeV1);
    if (s != Scan::kComplete) return s;
  }
  h->records_at = h->head_size;
  if (h->version == kJournalVersion2) {
    h->made_for = {LoadU64(head, kJournalVolumeOffset), LoadU64(head, kJournalFileIndexOffset)};
  } else if (h->version == kJournalVersion) {
    h->meta_offset = LoadU32(head, kJournalMetaOffsetOffset);
    h->meta_len = LoadU32(head, kJournalMetaLengthOffset);
    const uint64_t images = uint64_t{kJournalHeaderImageSize} + h->meta_len;
    if (LoadU32(head, kJournalHeaderImageLengthOffset) != kJournalHeaderImageSize ||
        h->records == 0 || images > h->size - h->head_size - kJournalCheckSize ||
        uint64_t{h->meta_offset} + h->meta_len > kMaxContainerEnd) {
      return Scan::kIncomplete;
    }
    h->records_at = h->head_size + static_cast<uint32_t>(images);
  }
  return Scan::kComplete;
}

// Checks the CRC over the whole journal and that its records fill its body.
Scan CheckWhole(platform::File* j, const Head& h, uint8_t* buf) {
  uint32_t crc = kCrc32Init;
  const uint32_t body_end = h.size - kJournalCheckSize;
  for (uint32_t at = 0; at < h.records_at;) {
    const uint32_t piece = h.records_at - at < kScanBuffer ? h.records_at - at : kScanBuffer;
    const Scan s = ReadExact(j, at, buf, piece);
    if (s != Scan::kComplete) return s;
    crc = Crc32Update(crc, buf, piece);
    at += piece;
  }
  uint32_t pos = h.records_at;
  for (uint32_t r = 0; r < h.records; ++r) {
    uint8_t rec[kJournalRecordHeaderSize];
    if (body_end - pos < kJournalRecordHeaderSize) return Scan::kIncomplete;
    Scan s = ReadExact(j, pos, rec, kJournalRecordHeaderSize);
    if (s != Scan::kComplete) return s;
    crc = Crc32Update(crc, rec, kJournalRecordHeaderSize);
    pos += kJournalRecordHeaderSize;
    const uint32_t offset = LoadU32(rec, 0);
    const uint32_t len = LoadU32(rec, 4);
    if (body_end - pos < len || uint64_t{offset} + len > kMaxContainerEnd) {
      return Scan::kIncomplete;
    }
    // The first record of version 3 is the before image of the range the
    // after image covers.
    if (r == 0 && h.version == kJournalVersion && (offset != h.meta_offset || len != h.meta_len)) {
      return Scan::kIncomplete;
    }
    for (uint32_t at = 0; at < len;) {
      const uint32_t piece = len - at < kScanBuffer ? len - at : kScanBuffer;
      s = ReadExact(j, pos + at, buf, piece);
      if (s != Scan::kComplete) return s;
      crc = Crc32Update(crc, buf, piece);
      at += piece;
    }
    pos += len;
  }
  if (pos != body_end) return Scan::kIncomplete;
  uint8_t check[kJournalCheckSize];
  const Scan s = ReadExact(j, body_end, check, kJournalCheckSize);
  if (s != Scan::kComplete) return s;
  return LoadU32(check, 0) == Crc32Final(crc) ? Scan::kComplete : Scan::kIncomplete;
}

// Whether a complete journal belongs to `container` (kComplete) or not
// (kOtherFile): by content for version 3, by identity for version 2; version 1
// belongs to whatever file it is found beside.
Scan Binds(platform::File* j, const Head& h, platform::File* container, uint8_t* buf) {
  if (h.version == kJournalVersion2) {
    platform::FileIdentity target;
    const bool known = container->Identity(&target) && target.known();
    return known && !(h.made_for == target) ? Scan::kOtherFile : Scan::kComplete;
  }
  if (h.version != kJournalVersion) return Scan::kComplete;
  // Three pieces side by side: the container's bytes, the after image's and
  // the before image's.
  constexpr uint32_t kPiece = kScanBuffer / 4;
  static_assert(kJournalHeaderImageSize <= kPiece);
  uint8_t* mine = buf;
  uint8_t* after = buf + kPiece;
  uint8_t* before = buf + 2 * kPiece;
  if (!ReadContainer(container, 0, mine, kJournalHeaderImageSize)) return Scan::kUnreadable;
  Scan s = ReadExact(j, kJournalImagesOffset, after, kJournalHeaderImageSize);
  if (s != Scan::kComplete) return s;
  if (std::memcmp(mine, after, kJournalHeaderImageSize) != 0) return Scan::kOtherFile;
  const uint32_t after_at = kJournalImagesOffset + kJournalHeaderImageSize;
  const uint32_t before_at = h.records_at + kJournalRecordHeaderSize;
  for (uint32_t at = 0; at < h.meta_len;) {
    const uint32_t piece = h.meta_len - at < kPiece ? h.meta_len - at : kPiece;
    if (!ReadContainer(container, h.meta_offset + at, mine, piece)) return Scan::kUnreadable;
    s = ReadExact(j, after_at + at, after, piece);
    if (s == Scan::kComplete) s = ReadExact(j, before_at + at, before, piece);
    if (s != Scan::kComplete) return s;
    for (uint32_t k = 0; k < piece; ++k) {
      if (mine[k] != after[k] && mine[k] != before[k]) return Scan::kOtherFile;
    }
    at += piece;
  }
  return Scan::kComplete;
}

// Writes every record of a checked journal into `container`, then flushes.
Scan ApplyRecords(platform::File* j, const Head& h, platform::File* container, uint8_t* buf) {
  uint32_t pos = h.records_at;
  for (uint32_t r = 0; r < h.records; ++r) {
    uint8_t rec[kJournalRecordHeaderSize];
    Scan s = ReadExact(j, pos, rec, kJournalRecordHeaderSize);
    if (s != Scan::kComplete) return s;
    pos += kJournalRecordHeaderSize;
    const uint32_t offset = LoadU32(rec, 0);
    const uint32_t len = LoadU32(rec, 4);
    for (uint32_t at = 0; at < len;) {
      const uint32_t piece = len - at < kScanBuffer ? len - at : kScanBuffer;
      s = ReadExact(j, pos + at, buf, piece);
      if (s != Scan::kComplete) return s;
      uint32_t written = 0;
      if (!container->WriteAt(offset + at, buf, piece, &written) || written != piece) {
        return Scan::kApplyFailed;
      }
      at += piece;
    }
    pos += len;
  }
  return container->Flush() ? Scan::kComplete : Scan::kApplyFailed;
}

// Checks the journal whole; then, by `mode`, whether it belongs to
// `container` and applies it there. Only a complete journal can be told to
// belong elsewhere. `buf` holds kScanBuffer bytes.
Scan ScanJournal(platform::File* j, uint8_t* buf, platform::File* container, ScanMode mode) {
  Head h;
  Scan s = ReadHead(j, &h);
  if (s == Scan::kComplete) s = CheckWhole(j, h, buf);
  if (s != Scan::kComplete || mode == ScanMode::kCheck) return s;
  s = Binds(j, h, container, buf);
  if (s != Scan::kComplete || mode == ScanMode::kBind) return s;
  return ApplyRecords(j, h, container, buf);
}

Scan ScanAt(JournalSite* site, platform::File* container, ScanMode mode) {
  std::unique_ptr<platform::File> j = site->Open();
  if (!j) return Scan::kUnreadable;
  auto* buf = static_cast<uint8_t*>(ZeroAlloc(kScanBuffer));
  if (buf == nullptr) return Scan::kUnreadable;
  const Scan s = ScanJournal(j.get(), buf, container, mode);
  ZeroFree(buf);
  return s;
}

class PathJournalSite final : public JournalSite {
 public:
  explicit PathJournalSite(std::u16string path) : path_(std::move(path)) {}
  std::unique_ptr<platform::File> Create() override {
    return platform::CreateEmptyFile(path_.c_str());
  }
  std::unique_ptr<platform::File> Open() override {
    return platform::OpenFileForReading(path_.c_str());
  }
  bool Exists() override { return platform::FileExists(path_.c_str()); }
  bool Remove() override { return platform::RemoveFile(path_.c_str()); }

 private:
  std::u16string path_;
};

class BorrowedJournalSite final : public JournalSite {
 public:
  explicit BorrowedJournalSite(JournalSite* target) : target_(target) {}
  std::unique_ptr<platform::File> Create() override { return target_->Create(); }
  std::unique_ptr<platform::File> Open() override { return target_->Open(); }
  bool Exists() override { return target_->Exists(); }
  bool Remove() override { return target_->Remove(); }

 private:
  JournalSite* target_;
};

}  // namespace

std::unique_ptr<JournalSite> JournalBeside(const char16_t* container_path) {
  if (container_path == nullptr || container_path[0] == 0) return nullptr;
  try {
    std::u16string path(container_path);
    path += kJournalSuffix;
    return std::unique_ptr<JournalSite>(new (std::nothrow) PathJournalSite(std::move(path)));
  } catch (...) {
    return nullptr;
  }
}

std::unique_ptr<JournalSite> BorrowJournalSite(JournalSite* target) {
  if (target == nullptr) return nullptr;
  return std::unique_ptr<JournalSite>(new (std::nothrow) BorrowedJournalSite(target));
}

JournalState InspectJournalAt(JournalSite* site, platform::File* container) {
  if (site == nullptr || !site->Exists()) return JournalState::kNone;
  const Scan s = ScanAt(site, container, container != nullptr ? ScanMode::kBind : ScanMode::kCheck);
  if (s == Scan::kOtherFile) return JournalState::kForeign;
  return s == Scan::kComplete ? JournalState::kComplete : JournalState::kIncomplete;
}

bool ApplyJournalToCopy(JournalSite* site, platform::File* target) {
  if (site == nullptr || target == nullptr || !site->Exists()) return false;
  return ScanAt(site, target, ScanMode::kApply) == Scan::kComplete;
}

bool RecoverFromJournal(JournalSite* site, platform::File* container) {
  if (!site->Exists()) return true;
  const Scan s = ScanAt(site, container, ScanMode::kApply);
  // A journal that cannot be read may be complete: it must stay, and the
  // container must not be used until it has been applied.
  if (s == Scan::kUnreadable || s == Scan::kApplyFailed) return false;
  // Another container's journal is not this one's to apply or to delete.
  if (s == Scan::kOtherFile) return true;
  return site->Remove();
}

// The journal of the file at `container_path`, named after its resolved path
// when the file can be opened (`file`, when given, is that open file).
std::unique_ptr<JournalSite> JournalOfFile(const char16_t* container_path, platform::File* file) {
  std::unique_ptr<platform::File> reading;
  if (file == nullptr) {
    reading = platform::OpenFileForReading(container_path);
    file = reading.get();
  }
  if (file != nullptr) {
    constexpr size_t kUnits = 32768;
    std::unique_ptr<char16_t[]> resolved(new (std::nothrow) char16_t[kUnits]);
    if (resolved && platform::ResolvedPath(file, container_path, resolved.get(), kUnits)) {
      return JournalBeside(resolved.get());
    }
  }
  return JournalBeside(container_path);
}

JournalState InspectJournal(const char16_t* container_path) {
  std::unique_ptr<platform::File> container = platform::OpenFileForReading(container_path);
  std::unique_ptr<JournalSite> site = JournalOfFile(container_path, container.get());
  if (!site) return JournalState::kIncomplete;  // no memory: nothing can be told
  return InspectJournalAt(site.get(), container.get());
}

bool RecoverContainer(const char16_t* container_path, uint32_t wait_ms,
                      platform::WriterOpenStatus* open) {
  if (open != nullptr) *open = platform::WriterOpenStatus::kOk;
  if (container_path == nullptr) return false;
  // Without its container a journal has nothing to restore.
  if (!platform::FileExists(container_path)) {
    std::unique_ptr<JournalSite> site = JournalBeside(container_path);
    return site && site->Remove();
  }
  // Held as a writer holds it, so that a journal whose writer still runs is
  // never taken for an interrupted one.
  platform::WriterOpen opened = platform::OpenContainerForWriter(container_path, wait_ms);
  if (open != nullptr) *open = opened.status;
  if (opened.status != platform::WriterOpenStatus::kOk) return false;
  std::unique_ptr<JournalSite> site = JournalOfFile(container_path, opened.file.get());
  return site && RecoverFromJournal(site.get(), opened.file.get());
}

bool JournalWriter::Put(const void* data, uint32_t len) {
  uint32_t done = 0;
  ok_ = ok_ && file_->WriteAt(at_, data, len, &done) && done == len;
  if (ok_) {
    crc_ = Crc32Update(crc_, data, len);
    at_ += len;
  }
  return ok_;
}

bool JournalWriter::Begin(uint32_t container_size, uint32_t records, uint64_t bytes,
                          const uint8_t* header_image, uint32_t meta_offset, const uint8_t* after,
                          uint32_t meta_len) {
  const uint64_t length = LengthFor(records, bytes, meta_len);
  ok_ = length <= UINT32_MAX && records != 0;
  if (!ok_) return false;
  length_ = static_cast<uint32_t>(length);
  at_ = 0;
  crc_ = kCrc32Init;
  uint8_t head[kJournalHeaderSize] = {};
  StoreU32(head, kJournalMagicOffset, kJournalMagic);
  StoreU32(head, kJournalVersionOffset, kJournalVersion);
  StoreU32(head, kJournalContainerSizeOffset, container_size);
  StoreU32(head, kJournalRecordCountOffset, records);
  StoreU32(head, kJournalLengthOffset, length_);
  StoreU32(head, kJournalHeaderImageLengthOffset, kJournalHeaderImageSize);
  StoreU32(head, kJournalMetaOffsetOffset, meta_offset);
  StoreU32(head, kJournalMetaLengthOffset, meta_len);
  return Put(head, kJournalHeaderSize) && Put(header_image, kJournalHeaderImageSize) &&
         (meta_len == 0 || Put(after, meta_len));
}

bool JournalWriter::Record(uint32_t offset, const uint8_t* bytes, uint32_t len) {
  uint8_t rec[kJournalRecordHeaderSize];
  StoreU32(rec, 0, offset);
  StoreU32(rec, 4, len);
  return Put(rec, kJournalRecordHeaderSize) && (len == 0 || Put(bytes, len));
}

bool JournalWriter::Finish() {
  if (!ok_ || at_ + kJournalCheckSize != length_) return false;
  uint8_t check[kJournalCheckSize];
  StoreU32(check, 0, Crc32Final(crc_));
  uint32_t done = 0;
  ok_ = file_->WriteAt(at_, check, kJournalCheckSize, &done) && done == kJournalCheckSize &&
        file_->Flush();
  return ok_;
}

}  // namespace tl
