#include "entry/list_store.h"

#include <memory>

#include "common/le.h"
#include "common/u16.h"
#include "common/zalloc.h"
#include "entry/list_stream.h"
#include "entry/payload_builder.h"
#include "minifile/dir_entry.h"
#include "minifile/header.h"
#include "minifile/journal.h"
#include "minifile/minifile.h"
#include "platform/file.h"

namespace tl {
namespace {

// The longest path kept (Windows' own limit of extended-length paths).
constexpr size_t kMaxPathUnits = 32768;

// True when a container made from `p` would lie inside the format, judged as
// the open judges a fresh header, without drawing key bytes.
bool ParametersMakeContainer(const CreationParameters& p) {
  const CreationParameters n = NormalizedCreationParameters(p);
  uint8_t header[kHeaderSize] = {};
  StoreU32(header, kHeaderBlockSizeOffset, n.blockSize);
  StoreU32(header, kHeaderTableEntriesOffset, n.tableEntries);
  StoreU32(header, kHeaderDirEntriesOffset, n.directoryEntries);
  Geometry g;
  return GeometryFromHeader(header, &g);
}

bool ValidName(const char16_t* name) {
  if (name == nullptr) return false;
  const size_t len = U16Len(name, kDirEntryMaxNameUnits + 1);
  return len != 0 && len <= kDirEntryMaxNameUnits;
}

// The first defect of the container in `file`, read as it is (kNone for an
// empty file, which the open makes a container of).
Defect FirstDefect(platform::File* file) {
  uint32_t size = 0;
  if (!file->Size(&size)) return Defect::kReadFailed;
  if (size == 0) return Defect::kNone;
  try {
    ContainerReader reader;
    std::unique_ptr<platform::File> view = platform::BorrowFile(file);
    if (!view || !reader.OpenFile(std::move(view))) return Defect::kReadFailed;
    if (!reader.header_valid()) return reader.header_defect();
    const std::vector<Finding> findings = reader.Verify();
    return findings.empty() ? Defect::kNone : findings.front().defect;
  } catch (...) {
    return Defect::kNoMemory;
  }
}

}  // namespace

const char* StoreStatusText(StoreStatus status) {
  switch (status) {
    case StoreStatus::kOk:
      return "stored";
    case StoreStatus::kInUse:
      return "the container is in use by another writer";
    case StoreStatus::kNotRegularFile:
      return "not a regular file (a directory, FIFO or device is never a container)";
    case StoreStatus::kOpenFailed:
      return "the container cannot be opened or created for writing";
    case StoreStatus::kRecoveryFailed:
      return "an interrupted write's journal could not be rolled back";
    case StoreStatus::kBadParameters:
      return "the creation parameters make no container";
    case StoreStatus::kNotOpen:
      return "no container is open";
    case StoreStatus::kNoMemory:
      return "not enough memory";
    case StoreStatus::kReadFailed:
      return "the container could not be read";
    case StoreStatus::kTooLarge:
      return "the list is too large for one stream";
    case StoreStatus::kNoRoom:
      return "too little free space or no free directory slot for the stream";
    case StoreStatus::kWriteFailed:
      return "a write to the container failed";
    case StoreStatus::kBadStreamName:
      return "a stream name has 1 to 16 characters";
    case StoreStatus::kDamaged:
      return "the container has defects";
    case StoreStatus::kEmptyFile:
      return "the file is empty (0 bytes), not a container";
  }
  return "unknown";
}

ListStore::~ListStore() { Close(); }

StoreStatus ListStore::Open(const char16_t* path, const CreationParameters& parameters,
                            const StoreOptions& options) {
  Close();
  damage_ = Defect::kNone;
  system_error_ = 0;
  created_ = false;
  recovered_ = JournalState::kNone;
  if (path == nullptr || path[0] == 0) return StoreStatus::kOpenFailed;
  if (!ParametersMakeContainer(parameters)) return StoreStatus::kBadParameters;
  const size_t len = U16Len(path, kMaxPathUnits);
  path_ = static_cast<char16_t*>(ZeroAlloc((len + 1) * sizeof(char16_t)));
  if (path_ == nullptr) return StoreStatus::kNoMemory;
  U16Copy(path_, len + 1, path, len + 1);

  platform::WriterOpen opened = platform::OpenContainerForWriter(path, options.wait_ms);
  system_error_ = opened.system_error;
  if (opened.status != platform::WriterOpenStatus::kOk) {
    Close();
    switch (opened.status) {
      case platform::WriterOpenStatus::kInUse:
        return StoreStatus::kInUse;
      case platform::WriterOpenStatus::kNotRegular:
        return StoreStatus::kNotRegularFile;
      default:
        return StoreStatus::kOpenFailed;
    }
  }
  created_ = opened.created;
  std::unique_ptr<platform::File> file = std::move(opened.file);
  if (options.refuse_empty_file && !created_) {
    uint32_t size = 0;
    if (file->Size(&size) && size == 0) {
      Close();
      return StoreStatus::kEmptyFile;
    }
  }

  // The journal is named after the file, not after the path that reached it,
  // so an open through a link and one of the real file find the same journal.
  std::unique_ptr<JournalSite> journal = JournalOfFile(path, file.get());
  if (!journal) {
    if (created_) platform::RemoveHeldContainer(file.get(), path_);
    Close();
    return StoreStatus::kNoMemory;
  }
  // Asked first only to tell what the recovery did; under the hold, nothing
  // can change between the two.
  recovered_ = InspectJournalAt(journal.get());
  if (!RecoverFromJournal(journal.get(), file.get())) {
    Close();
    return StoreStatus::kRecoveryFailed;
  }
  if (recovered_ != JournalState::kNone && journal->Exists()) {
    recovered_ = JournalState::kForeign;  // another container's journal, left alone
  }
  if (options.refuse_damaged && !created_) {
    damage_ = FirstDefect(file.get());
    if (damage_ != Defect::kNone) {
      Close();
      return damage_ == Defect::kNoMemory ? StoreStatus::kNoMemory : StoreStatus::kDamaged;
    }
  }
  handle_ = MiniFileOpenWith(std::move(file), std::move(journal), &parameters);
  if (handle_ == nullptr) {
    // The open read the header and, where needed, wrote a fresh one; what
    // failed is a read, a write or an allocation. The file was closed with it.
    Close();
    return StoreStatus::kOpenFailed;
  }
  return StoreStatus::kOk;
}

bool ListStore::OpenReader(ContainerReader* reader) const {
  if (handle_ == nullptr || reader == nullptr) return false;
  std::unique_ptr<platform::File> view = platform::BorrowFile(handle_->file.get());
  return view && reader->OpenFile(std::move(view));
}

uint64_t ListStore::Room(const char16_t* name) {
  if (handle_ == nullptr || !ValidName(name)) return 0;
  return MiniFileStreamRoom(handle_, name);
}

StoreStatus ListStore::Write(const char16_t* name, const void* payload, uint32_t size) {
  if (handle_ == nullptr) return StoreStatus::kNotOpen;
  if (!ValidName(name)) return StoreStatus::kBadStreamName;
  if (payload == nullptr || size == 0) return StoreStatus::kWriteFailed;
  if (size > MiniFileStreamRoom(handle_, name)) return StoreStatus::kNoRoom;
  return MiniFileWriteStream(handle_, name, payload, size) == size ? StoreStatus::kOk
                                                                   : StoreStatus::kWriteFailed;
}

StoreStatus ListStore::WriteList(const char16_t* name, CVarBlockList& list, uint32_t* count,
                                 uint32_t* bytes) {
  const StoreStatus ready = ReadyToWrite(name, count, bytes);
  if (ready != StoreStatus::kOk) return ready;
  uint32_t size = 0;
  uint32_t blocks = 0;
  uint8_t* payload = BuildListPayload(list, &size, &blocks);
  if (payload == nullptr) {
    return ListPayloadSize(list) == 0 ? StoreStatus::kTooLarge : StoreStatus::kNoMemory;
  }
  return WriteOwned(name, payload, size, blocks, count, bytes);
}

StoreStatus ListStore::ReadyToWrite(const char16_t* name, uint32_t* count, uint32_t* bytes) const {
  if (count != nullptr) *count = 0;
  if (bytes != nullptr) *bytes = 0;
  if (handle_ == nullptr) return StoreStatus::kNotOpen;
  return ValidName(name) ? StoreStatus::kOk : StoreStatus::kBadStreamName;
}

StoreStatus ListStore::WriteBuilt(const char16_t* name, PayloadBuilder& builder, uint32_t* count,
                                  uint32_t* bytes) {
  const StoreStatus ready = ReadyToWrite(name, count, bytes);
  if (ready != StoreStatus::kOk) return ready;
  uint32_t size = 0;
  uint32_t blocks = 0;
  uint8_t* payload = builder.Finish(&size, &blocks);
  if (payload == nullptr) return StoreStatus::kNoMemory;
  return WriteOwned(name, payload, size, blocks, count, bytes);
}

StoreStatus ListStore::WriteOwned(const char16_t* name, uint8_t* payload, uint32_t size,
                                  uint32_t blocks, uint32_t* count, uint32_t* bytes) {
  const StoreStatus status = Write(name, payload, size);
  ZeroFree(payload);
  if (status == StoreStatus::kOk) {
    if (count != nullptr) *count = blocks;
    if (bytes != nullptr) *bytes = size;
  }
  return status;
}

bool ListStore::DiscardCreated() {
  if (handle_ == nullptr || !created_) return true;
  const bool gone = platform::RemoveHeldContainer(handle_->file.get(), path_);
  Close();
  return gone;
}

void ListStore::Close() {
  if (handle_ != nullptr) MiniFileClose(handle_);
  handle_ = nullptr;
  ZeroFree(path_);
  path_ = nullptr;
}

}  // namespace tl
