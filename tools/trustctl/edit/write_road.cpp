#include "edit/write_road.h"

#include "edit/capacity.h"
#include "entry/list_payload.h"
#include "io/exit_codes.h"
#include "io/format.h"
#include "platform/path_info.h"

namespace tl::ctl {
namespace {}  // namespace

int ListEdit::Fail(const Failure& failure, Io& io) {
  Complain(io, failure.text);
  return failure.kind == FailureKind::kUsage ? kExitUsage : kExitFailure;
}

bool WriteRoad::Open(bool read_stored, Failure* failure) {
  const std::u16string& container = order_.ref.container;
  const bool write = order_.mode == WriteMode::kWrite;
  std::string error;
  if (write) {
    // The hold refuses an empty file, recovers an interrupted replacement and
    // refuses structural damage, all under the writer's hold.
    if (!session_.Open(container, io_, &error))
      return Fail(session_.failure(), std::move(error), failure);
    look_ = session_.reader();
  } else {
    // A real write judges the file under its hold (another writer may be
    // creating it); a look takes it as it finds it, as a reader (a hot
    // journal is rolled back first, as the real write's open would).
    if (!CheckNotEmptyFile(container, &error)) {
      return Fail(FailureKind::kRefused, std::move(error), failure);
    }
    if (!OpenLook(container, &by_path_, &look_, io_, &error)) {
      return Fail(FailureKind::kSystem, std::move(error), failure);
    }
  }
  // A real write keeps the stream it replaces as the soundness pass read it:
  // the stream to edit takes it over instead of reading it again; a command
  // that replaces it whole keeps only its keys, for its report and the
  // comparison that decides whether anything is to be written.
  KeptStream* keep = write ? session_.KeepForComparison(order_.ref.stream, read_stored) : nullptr;
  if (!CheckSoundForEdit(container, look_, &error, keep)) {
    return Fail(FailureKind::kDamaged, std::move(error), failure);
  }
  if (!CheckStreamNameCase(look_, order_.ref.stream, &error)) {
    return Fail(FailureKind::kUsage, std::move(error), failure);
  }
  if (!CheckStreamTarget(container, look_, order_.ref.stream, order_.rules.new_stream, &error)) {
    return Fail(FailureKind::kRefused, std::move(error), failure);
  }
  return true;
}

bool WriteRoad::LoadStored(const LoadOptions& options, StreamContents* out, Failure* failure) {
  std::string error;
  bool read = false;
  if (order_.mode == WriteMode::kWrite) {
    read = session_.Load(order_.ref, options, out, &error);
  } else if (look_ != nullptr) {
    read = LoadListFrom(*look_, order_.ref, options, out, &error);
  } else {
    *out = StreamContents();
    read = options.missing_ok;
    error = Shown(order_.ref.container) + ": no such container";
  }
  if (read) return true;
  // A stream that is there but cannot be read is damage; one that is not
  // there, where the command needs one, is a refusal.
  const bool present = look_ != nullptr && look_->header_valid() &&
                       look_->FindStream(order_.ref.stream.c_str()) >= 0;
  return Fail(present ? FailureKind::kDamaged : FailureKind::kRefused, std::move(error), failure);
}

bool WriteRoad::StoredKeys(std::vector<uint64_t>* keys, std::string* error) {
  keys->clear();
  StreamContents read;
  const std::vector<uint8_t>* payload = nullptr;
  if (order_.mode == WriteMode::kWrite) {
    const KeptStream* kept = session_.Kept(order_.ref.stream);
    if (kept != nullptr && !kept->whole) {
      *keys = kept->keys;
      return true;
    }
    payload = kept != nullptr ? &kept->payload : nullptr;
  } else if (look_ != nullptr) {
    LoadOptions options;
    options.missing_ok = true;
    options.keep_blocks = false;
    if (!LoadListFrom(*look_, order_.ref, options, &read, error)) return false;
    payload = &read.payload;
  }
  // The guards let only a soundly framed payload this far: every block is
  // whole.
  if (payload != nullptr) *keys = PayloadKeys(payload->data(), payload->size());
  return true;
}

bool WriteRoad::LoadOther(const StreamRef& ref, const LoadOptions& options, StreamContents* out,
                          std::string* error) {
  const bool held = session_.reader() != nullptr &&
                    platform::ExaminePath(ref.container.c_str())
                        .same_file(platform::ExaminePath(order_.ref.container.c_str()));
  return held ? session_.Load(ref, options, out, error) : LoadList(ref, options, out, io_, error);
}

bool WriteRoad::Guard(const BuiltList& built, size_t payload_size, Failure* failure) {
  const std::u16string& container = order_.ref.container;
  const std::u16string& stream = order_.ref.stream;
  std::string error;
  if (!CheckNotEmptied(container, stream, StreamHoldsEntries(look_, stream), built.entries,
                       order_.rules.allow_empty, &error)) {
    return Fail(FailureKind::kRefused, std::move(error), failure);
  }
  // The same rule decides a dry run and a real one, so the dry run predicts
  // exactly whether the list fits.
  const bool fits = order_.mode == WriteMode::kWrite
                        ? session_.CheckFits(stream, payload_size, &error)
                        : CheckFits(container, look_, stream, payload_size, &error);
  return fits || Fail(FailureKind::kNoRoom, std::move(error), failure);
}

bool WriteRoad::Finish(const BuiltList& built, const StreamContents& stored, bool read_stored,
                       RoadResult* result, Failure* failure) {
  if (order_.mode == WriteMode::kDryRun) {
    result->end = RoadEnd::kWouldWrite;
    return true;
  }
  const uint8_t* payload = built.payload;
  uint32_t size = built.payload_size;
  if (built.list != nullptr) {
    if (!built_.Build(*built.list)) {
      std::string error = CannotBuildText(order_.ref.container);
      return Fail(FailureKind::kNoRoom, std::move(error), failure);
    }
    payload = built_.bytes;
    size = built_.size;
  }
  result->payload = payload;
  result->payload_length = size;
  if (order_.mode == WriteMode::kCheck) {
    const bool same = stored.entry >= 0 &&
                      SameListPayload(stored.payload.data(), stored.payload.size(), payload, size);
    result->end = same ? RoadEnd::kUnchanged : RoadEnd::kWouldChange;
    return true;
  }
  std::string error;
  const StoreOutcome outcome =
      read_stored
          ? session_.StoreUnlessSame(order_.ref.stream, stored, payload, size,
                                     &result->payload_bytes, &error)
          : session_.ReplaceUnlessSame(order_.ref, payload, size, &result->payload_bytes, &error);
  result->end = outcome == StoreOutcome::kUnchanged ? RoadEnd::kUnchanged : RoadEnd::kWritten;
  return outcome != StoreOutcome::kFailed || Fail(session_.failure(), std::move(error), failure);
}

int WriteRoad::Drive(ListEdit& edit) {
  LoadOptions options;
  // A check compares with what is stored, so it reads the stream whatever the
  // command's build needs.
  options.missing_ok = true;
  options.keep_blocks = false;
  const bool read_stored = edit.ReadsStored(&options) || order_.mode == WriteMode::kCheck;
  StreamContents stored;
  Failure failure;
  if (!Open(read_stored, &failure) || (read_stored && !LoadStored(options, &stored, &failure))) {
    session_.Abandon();
    return edit.Fail(failure, io_);
  }
  BuiltList built;
  const int ended = edit.Build(*this, stored, &built, io_);
  if (ended != kBuilt) return ended;
  RoadResult result;
  result.target = "stream \"" + Printable(std::u16string_view(order_.ref.stream)) + "\" of " +
                  Shown(order_.ref.container);
  result.look = look_;
  result.payload_size =
      built.list != nullptr ? PayloadSizeOf(*built.list) : size_t{built.payload_size};
  if (built.change && !Guard(built, result.payload_size, &failure)) {
    session_.Abandon();
    return edit.Fail(failure, io_);
  }
  if (!ReportCollisions(built.collisions, order_.rules.allow_collisions, io_)) {
    result.end = RoadEnd::kCollisionsHeld;
  } else if (!built.change) {
    result.end = RoadEnd::kNothingAsked;
  } else if (!Finish(built, stored, read_stored, &result, &failure)) {
    session_.Abandon();
    return edit.Fail(failure, io_);
  }
  // Whatever was not written leaves the container as it was (one this road
  // created is removed) before anything is said.
  session_.Abandon();
  // A new container is announced: a misspelt container name must not make
  // one quietly.
  // A JSON document stays the whole output: the command puts it in there, and
  // the line goes to the error stream.
  std::ostream& say = edit.SpeaksJson() ? io_.err : io_.out;
  result.created = result.end == RoadEnd::kWritten && session_.created();
  if (result.created) {
    say << "created " << Shown(order_.ref.container) << ": a new container\n";
  } else if (result.end == RoadEnd::kWouldWrite && look_ == nullptr) {
    say << "dry run: " << Shown(order_.ref.container) << " does not exist; it would be created\n";
  }
  return edit.Report(result, io_);
}

}  // namespace tl::ctl
