// Writing a list back into a container, as the library's commit does it, and
// reading what an edit starts from under the same hold: the write road
// (edit/write_road.h) of every command that writes opens one EditSession, which
// holds the container against every other writer (other trustctl runs, the
// product's processes) from the open that recovers it to the close after its
// write, so no other writer's change can fall between its read and its write.
// The steps themselves are the library's list store (entry/list_store.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "blocklist/var_block_list.h"
#include "edit/soundness.h"
#include "entry/list_store.h"
#include "entry/payload_builder.h"
#include "io/failure.h"
#include "io/io.h"
#include "view/container_view.h"

namespace tl::ctl {

// Stream names as the container stores them: 1 to 16 UTF-16 code units.
bool ValidStreamName(const std::u16string& name, std::string* error);

// Puts copies of the stored blocks of `contents` into `list`, in stored order,
// byte for byte as stored (AddBlock: a repeated key keeps the later block).
bool KeepEntries(const StreamContents& contents, CVarBlockList& list, std::string* error);

// The length of the payload the list would be stored as (payload header,
// serialized blocks, terminator), measured without exporting it.
size_t PayloadSizeOf(CVarBlockList& list);

// Why an existing regular file of 0 bytes is not written as a container: the
// refusal of EditSession::Open under the writer's hold, and of a dry run by
// path (CheckNotEmptyFile, edit/write_guards.h).
std::string EmptyFileText(const std::u16string& container);

// Why a list could not be turned into a payload: too large for one stream, or
// no memory.
std::string CannotBuildText(const std::u16string& container);

// A list's payload as the commit builds it, owned until it goes out of scope.
struct ListPayload {
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  ListPayload() = default;
  ListPayload(const ListPayload&) = delete;
  ListPayload& operator=(const ListPayload&) = delete;
  ~ListPayload();
  // False when the list is too large for one stream or the memory cannot be had.
  bool Build(CVarBlockList& list);
  // Takes the builder's finished payload (the builder is empty afterwards).
  // False when the memory cannot be had.
  bool Take(PayloadBuilder& built);
};

enum class StoreOutcome : uint8_t {
  kWritten,    // stored, checked, the product told
  kUnchanged,  // the stream already held the list: nothing written, nobody told
  kFailed,     // *error says why; the older stream stays
};

class EditSession {
 public:
  // Opens `container` (created when missing, with the commit's creation
  // parameters) for its one writer, waiting up to kWriterWaitMs for another;
  // a journal of an interrupted replacement is rolled back (said on the error
  // stream). Refuses a container that is not sound (any defect in any stream),
  // since writing into it could make the damage worse or drop streams it holds.
  // False with *error; the container is then unchanged.
  bool Open(const std::u16string& container, Io& io, std::string* error);

  // Reads stream `ref.stream` under the hold, as LoadList does by path.
  bool Load(const StreamRef& ref, const LoadOptions& options, StreamContents* out,
            std::string* error);

  // True when a payload of `payload_bytes` fits as stream `stream`; else
  // *error says how many 200-byte entries it can hold.
  bool CheckFits(const std::u16string& stream, uint64_t payload_bytes, std::string* error);

  // Stores the payload (`size` bytes) as stream `stream`, then checks through
  // the same hold that the container holds the stream with the payload's
  // length and is sound as a whole, and closes; *payload_bytes is the stored
  // length. After the hold ends the running product is told of the change
  // (TellProduct). Unless `stored` (the stream as Load read it under this
  // hold) already holds that payload: then the session ends without writing
  // and without telling anyone (kUnchanged), so that asking again for what is
  // there leaves the container byte for byte as it was. A store that fails on
  // a container this session created leaves no file behind.
  StoreOutcome StoreUnlessSame(const std::u16string& stream, const StreamContents& stored,
                               const uint8_t* payload, uint32_t size, uint32_t* payload_bytes,
                               std::string* error);

  // The same for a command that replaces the whole stream (import) with a
  // payload built before the hold (its list already emptied): compared with
  // the stream as the soundness pass kept it (KeepForComparison), or else
  // read now, and only when the lengths agree.
  StoreOutcome ReplaceUnlessSame(const StreamRef& ref, const uint8_t* payload, uint32_t size,
                                 uint32_t* payload_bytes, std::string* error);

  // What the soundness pass kept of `stream`, left in place; null when it
  // kept nothing (the stream is absent, or another was kept).
  const KeptStream* Kept(const std::u16string& stream) const {
    return kept_.found && kept_name_ == stream ? &kept_ : nullptr;
  }

  // Where the soundness pass of Open's guards leaves what it read of
  // `stream` (replaced by the next call): the payload for a command that
  // edits the list (`whole`), else its keys, for ReplaceUnlessSame.
  KeptStream* KeepForComparison(const std::u16string& stream, bool whole);

  // Whether Open made the container (there was no file at its path).
  bool created() const { return created_; }

  // The kind of the last failure of Open or of a store (their *error is its
  // text).
  FailureKind failure() const { return failure_; }

  // Ends the session without writing; a container it created is removed.
  void Abandon();

  // The container as the hold shows it, read through the held file (null
  // before a successful Open and after a store or Abandon).
  const ContainerReader* reader() const { return store_.is_open() ? &reader_ : nullptr; }

  ~EditSession() { Abandon(); }

 private:
  // Writes `size` bytes as `stream`, checks the result under the hold,
  // closes, and tells the product.
  bool WritePayload(const std::u16string& stream, const uint8_t* payload, uint32_t size,
                    uint32_t* payload_bytes, std::string* error);

  static FailureKind KindOf(StoreStatus status);

  ListStore store_;
  FailureKind failure_ = FailureKind::kSystem;
  bool created_ = false;
  ContainerReader reader_;
  std::u16string kept_name_;
  KeptStream kept_;
  std::u16string container_;
  Io* io_ = nullptr;  // from Open: messages and whether to tell the product
};

}  // namespace tl::ctl
