#include "view/container_view.h"

#include "common/u16.h"
#include "entry/list_store.h"
#include "entry/program_builder.h"
#include "io/format.h"
#include "platform/path_info.h"
#include "platform/system.h"
#include "view/journal_notes.h"

namespace tl::ctl {

namespace {

bool Exists(const std::u16string& path) {
  return platform::ExaminePath(path.c_str()).kind != platform::PathKind::kMissing;
}

}  // namespace

bool ParseStreamRef(const std::string& text, StreamRef* out, std::string* error) {
  *out = StreamRef();
  out->stream = kDefaultStream;
  const std::u16string whole = Utf8ToU16(text);
  if (whole.empty()) {
    *error = "an empty name is no container";
    return false;
  }
  const size_t colon = whole.rfind(u':');
  const bool drive = colon == 1;
  if (Exists(whole) || colon == std::u16string::npos || drive ||
      whole.find_first_of(u"/\\", colon + 1) != std::u16string::npos) {
    out->container = whole;
    return true;
  }
  const std::u16string container = whole.substr(0, colon);
  const std::u16string stream = whole.substr(colon + 1);
  if (stream.empty()) {
    *error =
        PrintablePath(whole) + ": ends in a colon; name a stream after it, or leave the colon out";
    return false;
  }
  if (container.empty()) {
    *error = PrintablePath(whole) + ": names a stream but no container";
    return false;
  }
  const size_t inner = container.rfind(u':');
  if (!Exists(container) && inner != std::u16string::npos && inner != 1) {
    *error = PrintablePath(whole) +
             ": no such file, and it is not clear which colon ends the container's name";
    return false;
  }
  out->container = container;
  out->stream = stream;
  out->explicit_stream = true;
  return true;
}

std::string ReadFailureReason(const std::u16string& path) {
  const platform::PathInfo info = platform::ExaminePath(path.c_str());
  if (info.kind == platform::PathKind::kOther) {
    return "not a regular file (a FIFO, a device or a socket is never a container)";
  }
  const uint32_t code =
      info.kind == platform::PathKind::kMissing || info.kind == platform::PathKind::kUnknown
          ? info.error
          : platform::OpenForReadingError(path.c_str());
  return code != 0 ? platform::SystemErrorText(code) : "the file could not be read";
}

bool OpenReader(const std::u16string& path, ContainerReader* reader, Io& io, std::string* error) {
  const platform::PathInfo info = platform::ExaminePath(path.c_str());
  // Refused before any open: a FIFO without a writer would never answer.
  if (info.kind == platform::PathKind::kRegular && reader->Open(path.c_str())) {
    SayJournalMet(io, path,
                  reader->rolled_back()         ? JournalState::kComplete
                  : reader->discarded_journal() ? JournalState::kIncomplete
                                                : JournalState::kNone,
                  reader->journal_state());
    return true;
  }
  *error = SnapshotFailure(path,
                           info.kind == platform::PathKind::kRegular
                               ? reader->open_status()
                               : platform::WriterOpenStatus::kNotRegular,
                           reader->open_error());
  return false;
}

std::string SnapshotFailure(const std::u16string& path, platform::WriterOpenStatus status,
                            uint32_t system_error) {
  // The snapshot's own causes first; anything else is the system's.
  const bool in_use = status == platform::WriterOpenStatus::kInUse;
  const bool unread = status == platform::WriterOpenStatus::kFailed && system_error == 0;
  return Shown(path) + ": cannot open the container for reading: " +
         (in_use ? std::string(StoreStatusText(StoreStatus::kInUse)) + " (waited " +
                       std::to_string(platform::kWriterWaitMs / 1000) + " s)"
          : unread ? std::string("out of memory, or the journal of an interrupted "
                                 "replacement cannot be read")
                   : ReadFailureReason(path));
}

bool ReadUntouched(const std::u16string& path, ContainerSnapshot* out, std::string* error) {
  const platform::PathInfo info = platform::ExaminePath(path.c_str());
  if (info.kind != platform::PathKind::kRegular) {
    *error = SnapshotFailure(path, platform::WriterOpenStatus::kNotRegular, 0);
    return false;
  }
  *out = TakeReadOnlySnapshot(path.c_str());
  if (out->status == platform::WriterOpenStatus::kOk) return true;
  *error = SnapshotFailure(path, out->status, out->system_error);
  return false;
}

bool ReadStreamContents(const ContainerReader& reader, uint32_t entry, StreamContents* out,
                        std::string* error, bool keep_blocks) {
  out->entry = static_cast<int32_t>(entry);
  const Defect d = reader.ReadStream(entry, &out->payload);
  if (d != Defect::kNone) {
    *error = std::string("stream cannot be read: ") + DefectName(d);
    return false;
  }
  if (keep_blocks) out->view = ParsePayload(out->payload.data(), out->payload.size());
  return true;
}

bool WalkStream(const ContainerReader& reader, uint32_t entry, PayloadView* view,
                std::string* error, const BlockVisitor& on_block) {
  // One container block's worth at a time: a piece is unscrambled in one go.
  constexpr size_t kPiece = size_t{1} << 20;
  *view = PayloadView();
  StreamPieces pieces;
  Defect d = reader.OpenStreamPieces(entry, &pieces);
  if (d == Defect::kNone) {
    PiecedPayload source(
        pieces.length(), kPiece,
        [](void* context, uint8_t* out, size_t room, size_t* got) {
          return static_cast<StreamPieces*>(context)->Next(out, room, got);
        },
        &pieces);
    *view = WalkPayload(source, on_block);
    if (source.failed()) {
      d = pieces.defect() != Defect::kNone ? pieces.defect() : Defect::kNoMemory;
      *view = PayloadView();
    }
  }
  if (d == Defect::kNone) return true;
  *error = std::string("stream cannot be read: ") + DefectName(d);
  return false;
}

bool LoadList(const StreamRef& ref, const LoadOptions& options, StreamContents* out, Io& io,
              std::string* error) {
  *out = StreamContents();
  const std::string where = Shown(ref.container);
  const std::string stream = Printable(std::u16string_view(ref.stream));
  const platform::PathInfo info = platform::ExaminePath(ref.container.c_str());
  if (info.kind == platform::PathKind::kMissing && options.missing_ok) return true;
  ContainerReader reader;
  return OpenReader(ref.container, &reader, io, error) &&
         LoadListFrom(reader, ref, options, out, error);
}

bool LoadListFrom(const ContainerReader& reader, const StreamRef& ref, const LoadOptions& options,
                  StreamContents* out, std::string* error) {
  *out = StreamContents();
  const std::string where = Shown(ref.container);
  const std::string stream = Printable(std::u16string_view(ref.stream));
  if (!reader.header_valid()) {
    *error = where + ": not a usable container (" + DefectName(reader.header_defect()) + ")";
    return false;
  }
  if (options.require_sound) {
    const std::vector<Finding> findings = reader.Verify();
    if (!findings.empty()) {
      *error = where + ": the container has defects (first: " + DefectName(findings[0].defect) +
               "); see trustctl verify — it is not changed";
      return false;
    }
  }
  const int entry = reader.FindStream(ref.stream.c_str());
  if (entry < 0) {
    if (options.missing_ok) return true;
    *error = where + ": no stream \"" + stream + "\"";
    return false;
  }
  std::string why;
  if (!ReadStreamContents(reader, static_cast<uint32_t>(entry), out, &why, options.keep_blocks)) {
    *error = where + ": \"" + stream + "\": " + why;
    return false;
  }
  const PayloadIssue* first = options.require_sound ? FirstEditStopper(out->view) : nullptr;
  if (first != nullptr) {
    *error = where + ": \"" + stream + "\": damaged payload at offset " +
             std::to_string(first->offset) + ": " + first->text + "; it is not changed";
    return false;
  }
  return true;
}

bool LoadStreamsFrom(const ContainerReader& reader, const StreamRef& ref,
                     std::vector<NamedStream>* out, std::string* error) {
  out->clear();
  const std::string where = Shown(ref.container);
  if (!reader.header_valid()) {
    *error = where + ": not a usable container (" + DefectName(reader.header_defect()) + ")";
    return false;
  }
  if (ref.explicit_stream && reader.FindStream(ref.stream.c_str()) < 0) {
    *error = where + ": no stream \"" + Printable(std::u16string_view(ref.stream)) + "\"";
    return false;
  }
  const int only = ref.explicit_stream ? reader.FindStream(ref.stream.c_str()) : -1;
  for (const DirEntryInfo& e : reader.entries()) {
    if (!e.present() || (only >= 0 && e.index != static_cast<uint32_t>(only))) continue;
    NamedStream s;
    s.name = only >= 0 ? ref.stream : e.name;
    std::string why;
    if (!ReadStreamContents(reader, e.index, &s.contents, &why)) {
      *error = where;
      *error += ": \"" + Printable(std::u16string_view(s.name)) + "\": " + why;
      return false;
    }
    out->push_back(std::move(s));
  }
  return true;
}

bool LoadStreams(const StreamRef& ref, std::vector<NamedStream>* out, Io& io, std::string* error) {
  out->clear();
  ContainerReader reader;
  return OpenReader(ref.container, &reader, io, error) && LoadStreamsFrom(reader, ref, out, error);
}

std::u16string ProgramNameOfPath(const std::u16string& path) {
  char16_t name[kPdNameBufferUnits];
  const size_t len = ::tl::ProgramNameOfPath(path.c_str(), path.size(), name);
  return std::u16string(name, len);
}

}  // namespace tl::ctl
