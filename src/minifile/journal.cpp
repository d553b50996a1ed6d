// The rollback journal: writing, checking, rolling back, and its file beside
// the container.
#include "minifile/journal.h"

#include <new>
#include <string>

#include "common/crc32.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "minifile/header.h"

namespace tl {
namespace {

constexpr uint32_t kScanBuffer = 0x10000;

enum class Scan { kComplete, kIncomplete, kUnreadable, kApplyFailed, kOtherFile };

// Reads exactly `len` bytes at `offset`; kIncomplete when the file ends first.
Scan ReadExact(platform::File* f, uint32_t offset, uint8_t* buf, uint32_t len) {
  uint32_t done = 0;
  if (!f->ReadAt(offset, buf, len, &done)) return Scan::kUnreadable;
  return done == len ? Scan::kComplete : Scan::kIncomplete;
}

// Checks the journal whole; with `container`, writes its records there once
// the check has passed, unless the journal names another file than
// `container` (kOtherFile). `buf` holds kScanBuffer bytes.
Scan ScanJournal(platform::File* j, uint8_t* buf, platform::File* container) {
  uint32_t size = 0;
  if (!j->Size(&size)) return Scan::kUnreadable;
  if (size < kJournalHeaderSizeV1 + kJournalCheckSize) return Scan::kIncomplete;
  uint8_t head[kJournalHeaderSize] = {};
  Scan s = ReadExact(j, 0, head, kJournalHeaderSizeV1);
  if (s != Scan::kComplete) return s;
  const uint32_t version = LoadU32(head, kJournalVersionOffset);
  if (LoadU32(head, kJournalMagicOffset) != kJournalMagic ||
      (version != kJournalVersion && version != kJournalVersion1) ||
      LoadU32(head, kJournalLengthOffset) != size) {
    return Scan::kIncomplete;
  }
  const uint32_t head_size = version == kJournalVersion ? kJournalHeaderSize : kJournalHeaderSizeV1;
  if (size < head_size + kJournalCheckSize) return Scan::kIncomplete;
  if (head_size > kJournalHeaderSizeV1) {
    s = ReadExact(j, kJournalHeaderSizeV1, head + kJournalHeaderSizeV1,
                  head_size - kJournalHeaderSizeV1);
    if (s != Scan::kComplete) return s;
  }
  const platform::FileIdentity made_for{LoadU64(head, kJournalVolumeOffset),
                                        LoadU64(head, kJournalFileIndexOffset)};
  const uint32_t records = LoadU32(head, kJournalRecordCountOffset);
  const uint32_t body_end = size - kJournalCheckSize;
  for (int pass = 0; pass < (container != nullptr ? 2 : 1); ++pass) {
    if (pass == 1 && version == kJournalVersion) {
      // Checked whole before this question is asked: only a complete journal
      // can be told to belong elsewhere.
      platform::FileIdentity target;
      const bool known = container->Identity(&target) && target.known();
      if (known && !(made_for == target)) return Scan::kOtherFile;
    }
    uint32_t crc = Crc32Update(kCrc32Init, head, head_size);
    uint32_t pos = head_size;
    for (uint32_t r = 0; r < records; ++r) {
      uint8_t rec[kJournalRecordHeaderSize];
      if (body_end - pos < kJournalRecordHeaderSize) return Scan::kIncomplete;
      s = ReadExact(j, pos, rec, kJournalRecordHeaderSize);
      if (s != Scan::kComplete) return s;
      crc = Crc32Update(crc, rec, kJournalRecordHeaderSize);
      pos += kJournalRecordHeaderSize;
      const uint32_t offset = LoadU32(rec, 0);
      const uint32_t len = LoadU32(rec, 4);
      if (body_end - pos < len || uint64_t{offset} + len > kMaxContainerEnd) {
        return Scan::kIncomplete;
      }
      for (uint32_t at = 0; at < len;) {
        const uint32_t piece = len - at < kScanBuffer ? len - at : kScanBuffer;
        s = ReadExact(j, pos + at, buf, piece);
        if (s != Scan::kComplete) return s;
        if (pass == 0) {
          crc = Crc32Update(crc, buf, piece);
        } else {
          uint32_t written = 0;
          if (!container->WriteAt(offset + at, buf, piece, &written) || written != piece) {
            return Scan::kApplyFailed;
          }
        }
        at += piece;
      }
      pos += len;
    }
    if (pos != body_end) return Scan::kIncomplete;
    if (pass == 0) {
      uint8_t check[kJournalCheckSize];
      s = ReadExact(j, body_end, check, kJournalCheckSize);
      if (s != Scan::kComplete) return s;
      if (LoadU32(check, 0) != Crc32Final(crc)) return Scan::kIncomplete;
    }
  }
  if (container != nullptr && !container->Flush()) return Scan::kApplyFailed;
  return Scan::kComplete;
}

Scan ScanAt(JournalSite* site, platform::File* container) {
  std::unique_ptr<platform::File> j = site->Open();
  if (!j) return Scan::kUnreadable;
  auto* buf = static_cast<uint8_t*>(ZeroAlloc(kScanBuffer));
  if (buf == nullptr) return Scan::kUnreadable;
  const Scan s = ScanJournal(j.get(), buf, container);
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

JournalState InspectJournalAt(JournalSite* site) {
  if (site == nullptr || !site->Exists()) return JournalState::kNone;
  return ScanAt(site, nullptr) == Scan::kComplete ? JournalState::kComplete
                                                  : JournalState::kIncomplete;
}

bool RecoverFromJournal(JournalSite* site, platform::File* container) {
  if (!site->Exists()) return true;
  const Scan s = ScanAt(site, container);
  // A journal that cannot be read may be complete: it must stay, and the
  // container must not be used until it has been applied.
  if (s == Scan::kUnreadable || s == Scan::kApplyFailed) return false;
  // Another file's journal is not this container's to apply or to delete.
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
  std::unique_ptr<JournalSite> site = JournalOfFile(container_path, nullptr);
  if (!site) return JournalState::kIncomplete;  // no memory: nothing can be told
  return InspectJournalAt(site.get());
}

bool RecoverContainer(const char16_t* container_path, uint32_t wait_ms) {
  if (container_path == nullptr) return false;
  // Without its container a journal has nothing to restore.
  if (!platform::FileExists(container_path)) {
    std::unique_ptr<JournalSite> site = JournalBeside(container_path);
    return site && site->Remove();
  }
  // Held as a writer holds it, so that a journal whose writer still runs is
  // never taken for an interrupted one.
  platform::WriterOpen opened = platform::OpenContainerForWriter(container_path, wait_ms);
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
                          const platform::FileIdentity& identity) {
  const uint64_t length = LengthFor(records, bytes);
  ok_ = length <= UINT32_MAX;
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
  StoreU64(head, kJournalVolumeOffset, identity.volume);
  StoreU64(head, kJournalFileIndexOffset, identity.index);
  return Put(head, kJournalHeaderSize);
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
