#include "edit/edit_session.h"

#include "blocklist/block_header.h"
#include "common/zalloc.h"
#include "edit/capacity.h"
#include "entry/list_payload.h"
#include "entry/list_stream.h"
#include "io/format.h"
#include "io/notify.h"
#include "minifile/dir_entry.h"
#include "platform/system.h"
#include "view/journal_notes.h"

namespace tl::ctl {

bool ValidStreamName(const std::u16string& name, std::string* error) {
  if (name.empty() || name.size() > kDirEntryMaxNameUnits) {
    *error = "a stream name has 1 to " + std::to_string(kDirEntryMaxNameUnits) + " characters";
    return false;
  }
  if (name.find(u'\0') != std::u16string::npos) {
    *error = "a stream name cannot hold a NUL character";
    return false;
  }
  return true;
}

bool KeepEntries(const StreamContents& contents, CVarBlockList& list, std::string* error) {
  for (size_t i = 0; i < contents.view.blocks.size(); ++i) {
    if (list.AddBlockCopy(contents.BlockBytes(i)) == 0) {
      *error = "stored block " + std::to_string(i + 1) + " cannot be taken over";
      return false;
    }
  }
  return true;
}

size_t PayloadSizeOf(CVarBlockList& list) {
  return kPayloadHeaderBytes + size_t{list.ExportTo(nullptr, 0)};
}

std::string EmptyFileText(const std::u16string& container) {
  return Shown(container) +
         ": the file is empty (0 bytes), not a container; nothing was written. To start a new "
         "container, remove the empty file first, or name a path where no file is";
}

FailureKind EditSession::KindOf(StoreStatus status) {
  switch (status) {
    case StoreStatus::kInUse:
      return FailureKind::kBusy;
    case StoreStatus::kDamaged:
    case StoreStatus::kRecoveryFailed:
    case StoreStatus::kReadFailed:
      return FailureKind::kDamaged;
    case StoreStatus::kNoRoom:
    case StoreStatus::kTooLarge:
      return FailureKind::kNoRoom;
    case StoreStatus::kEmptyFile:
    case StoreStatus::kNotRegularFile:
      return FailureKind::kRefused;
    default:
      return FailureKind::kSystem;
  }
}

bool EditSession::Open(const std::u16string& container, Io& io, std::string* error) {
  Abandon();
  container_ = container;
  io_ = &io;
  StoreOptions options;
  options.refuse_damaged = true;
  options.refuse_empty_file = true;
  const StoreStatus status = store_.Open(container.c_str(), kCommitCreationParameters, options);
  failure_ = KindOf(status);
  created_ = status == StoreStatus::kOk && store_.created();
  if (status == StoreStatus::kDamaged) {
    *error = Shown(container) +
             ": the container has defects (first: " + DefectName(store_.damage()) +
             "); see trustctl verify — it is not changed";
    return false;
  }
  if (status == StoreStatus::kEmptyFile) {
    *error = EmptyFileText(container);
    return false;
  }
  if (status != StoreStatus::kOk) {
    *error = Shown(container) + ": " + StoreStatusText(status);
    if (status == StoreStatus::kOpenFailed && store_.system_error() != 0) {
      *error += ": " + platform::SystemErrorText(store_.system_error());
    }
    if (status == StoreStatus::kInUse) {
      *error += " (waited " + std::to_string(kWriterWaitMs / 1000) + " s)";
    }
    *error += "; nothing was written";
    return false;
  }
  const JournalState met = store_.recovered();
  SayJournalMet(io, container, met == JournalState::kForeign ? JournalState::kNone : met,
                met == JournalState::kForeign ? JournalState::kForeign : JournalState::kNone);
  if (!store_.OpenReader(&reader_)) {
    failure_ = FailureKind::kSystem;
    *error = Shown(container) + ": cannot read the container; nothing was written";
    Abandon();
    return false;
  }
  return true;
}

bool EditSession::Load(const StreamRef& ref, const LoadOptions& options, StreamContents* out,
                       std::string* error) {
  *out = StreamContents();
  const std::string where = Shown(container_);
  const std::string stream = Printable(std::u16string_view(ref.stream));
  if (!store_.is_open()) {
    *error = where + ": cannot read the container";
    return false;
  }
  const ContainerReader& reader = reader_;
  // A container this session just made holds a fresh header and no stream.
  const int entry = reader.header_valid() ? reader.FindStream(ref.stream.c_str()) : -1;
  if (entry < 0) {
    if (options.missing_ok) return true;
    *error = where + ": no stream \"" + stream + "\"";
    return false;
  }
  std::string why;
  if (kept_.found && kept_.whole && kept_name_ == ref.stream) {
    // The soundness pass of this very hold read it already: taken over, not
    // read and unscrambled again.
    out->entry = entry;
    out->payload.swap(kept_.payload);
    kept_ = KeptStream();
    if (options.keep_blocks) out->view = ParsePayload(out->payload.data(), out->payload.size());
  } else if (!ReadStreamContents(reader, static_cast<uint32_t>(entry), out, &why,
                                 options.keep_blocks)) {
    *error = where + ": \"" + stream + "\": " + why;
    return false;
  }
  if (options.require_sound && !options.keep_blocks) {
    out->view.issues =
        WalkPayload(out->payload.data(), out->payload.size(), [](const auto&) {}).issues;
  }
  const PayloadIssue* first = options.require_sound ? FirstEditStopper(out->view) : nullptr;
  if (first != nullptr) {
    *error = where + ": \"" + stream + "\": damaged payload at offset " +
             std::to_string(first->offset) + ": " + first->text + "; it is not changed";
    return false;
  }
  return true;
}

bool EditSession::CheckFits(const std::u16string& stream, uint64_t payload_bytes,
                            std::string* error) {
  const uint64_t room = store_.Room(stream.c_str());
  if (payload_bytes <= room) return true;
  *error = DoesNotFitText(container_, stream, payload_bytes, room);
  return false;
}

std::string CannotBuildText(const std::u16string& container) {
  return Shown(container) +
         ": the list is too large for one stream, or out of memory; nothing was written";
}

ListPayload::~ListPayload() { ZeroFree(bytes); }

bool ListPayload::Build(CVarBlockList& list) {
  ZeroFree(bytes);
  uint32_t count = 0;
  bytes = BuildListPayload(list, &size, &count);
  return bytes != nullptr;
}

bool ListPayload::Take(PayloadBuilder& built) {
  ZeroFree(bytes);
  uint32_t count = 0;
  bytes = built.Finish(&size, &count);
  return bytes != nullptr;
}

KeptStream* EditSession::KeepForComparison(const std::u16string& stream, bool whole) {
  kept_name_ = stream;
  kept_ = KeptStream();
  kept_.name = kept_name_.c_str();
  kept_.whole = whole;
  return &kept_;
}

bool EditSession::WritePayload(const std::u16string& stream, const uint8_t* payload, uint32_t size,
                               uint32_t* payload_bytes, std::string* error) {
  const StoreStatus status = store_.Write(stream.c_str(), payload, size);
  failure_ = KindOf(status);
  if (status != StoreStatus::kOk) {
    *error = Shown(container_) + ": the stream could not be written (" + StoreStatusText(status) +
             "); the older stream stays";
    Abandon();
    return false;
  }
  // The writer reported every block and the new table and directory as
  // written and flushed. What is checked here, still under the hold, is what
  // the container now says: the stream is present with the payload's length
  // and the whole container, sound before the write, is still sound. The
  // bytes are not unscrambled again: what a read gives back right after the
  // write comes from the system's cache rather than the disk.
  ContainerReader reader;
  const bool opened = store_.OpenReader(&reader) && reader.header_valid();
  const int entry = opened ? reader.FindStream(stream.c_str()) : -1;
  const bool sound = opened && entry >= 0 &&
                     reader.entries()[static_cast<size_t>(entry)].size == size &&
                     reader.Verify().empty();
  store_.Close();
  failure_ = opened ? FailureKind::kDamaged : FailureKind::kSystem;
  if (!opened) {
    *error = Shown(container_) +
             ": reading the container back to check the write failed; the stream is the older or "
             "the new one (see trustctl verify)";
    return false;
  }
  if (!sound) {
    *error = Shown(container_) +
             ": the container reads back otherwise than it was written (see trustctl verify)";
    return false;
  }
  *payload_bytes = size;
  if (io_ != nullptr) TellProduct(*io_);
  return true;
}

StoreOutcome EditSession::StoreUnlessSame(const std::u16string& stream,
                                          const StreamContents& stored, const uint8_t* payload,
                                          uint32_t size, uint32_t* payload_bytes,
                                          std::string* error) {
  if (stored.entry >= 0 &&
      SameListPayload(stored.payload.data(), stored.payload.size(), payload, size)) {
    *payload_bytes = size;
    Abandon();
    return StoreOutcome::kUnchanged;
  }
  return WritePayload(stream, payload, size, payload_bytes, error) ? StoreOutcome::kWritten
                                                                   : StoreOutcome::kFailed;
}

StoreOutcome EditSession::ReplaceUnlessSame(const StreamRef& ref, const uint8_t* payload,
                                            uint32_t size, uint32_t* payload_bytes,
                                            std::string* error) {
  // Payloads that differ in length differ: the stored one is compared only
  // when the lengths agree.
  const int entry = reader_.header_valid() ? reader_.FindStream(ref.stream.c_str()) : -1;
  bool same = false;
  const bool have = kept_.found && kept_name_ == ref.stream;
  // With only the keys kept, a payload whose keys differ from them in order
  // differs (a key lies in the bytes the comparison reads), and only one with
  // the same keys is read whole to be compared.
  if (entry >= 0 && reader_.entries()[static_cast<size_t>(entry)].size == size &&
      (!have || kept_.whole || PayloadKeys(payload, size) == kept_.keys)) {
    if (!have || !kept_.whole) {
      LoadOptions options;
      options.missing_ok = true;
      options.keep_blocks = false;
      StreamContents stored;
      if (!Load(ref, options, &stored, error)) {
        Abandon();
        return StoreOutcome::kFailed;
      }
      kept_.payload.swap(stored.payload);
    }
    same = SameListPayload(kept_.payload.data(), kept_.payload.size(), payload, size);
  }
  kept_ = KeptStream();  // released before the write
  if (same) {
    *payload_bytes = size;
    Abandon();
    return StoreOutcome::kUnchanged;
  }
  return WritePayload(ref.stream, payload, size, payload_bytes, error) ? StoreOutcome::kWritten
                                                                       : StoreOutcome::kFailed;
}

void EditSession::Abandon() {
  if (store_.is_open()) store_.DiscardCreated();
  store_.Close();
}

}  // namespace tl::ctl
