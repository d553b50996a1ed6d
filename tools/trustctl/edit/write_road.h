// The one road every writing command (import, add, remove, apply, merge)
// takes to a container: hold it (or, for a dry run or a check, look at it by
// path), refuse a damaged container or a stream not asked for, read the
// stream to edit, let the command build the list, refuse what would empty it,
// not fit or lose entries to a collision, then write it unless it is stored
// already, tell the product, and let the command say what became of it. A
// command gives the road only what is its own: how the list is built and how
// the outcome is reported (ListEdit). The order of the steps, and so which
// refusal wins when several apply, is the same for every command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "blocklist/var_block_list.h"
#include "edit/edit_session.h"
#include "edit/write_guards.h"
#include "io/failure.h"
#include "io/io.h"
#include "view/container_view.h"

namespace tl::ctl {

// What a writing command is allowed beyond its default refusals.
struct WriteRules {
  bool allow_empty = false;       // --allow-empty: a non-empty stream may become empty
  bool allow_collisions = false;  // --allow-collisions: write, losing the entries named
  bool new_stream = false;        // --new-stream: the stream may be created
};

enum class WriteMode : uint8_t {
  kWrite,   // hold the container, write unless the stream holds the list already
  kDryRun,  // read by path; say what would be written
  kCheck,   // read by path; say whether anything would change
};

// Where a road that got past every refusal ended.
enum class RoadEnd : uint8_t {
  kWritten,         // stored, checked, the product told
  kUnchanged,       // the stream holds the list already: nothing written, nobody told
  kNothingAsked,    // the build found nothing to change (nothing written)
  kCollisionsHeld,  // collisions were found and not allowed: nothing written
  kWouldWrite,      // a dry run: nothing written
  kWouldChange,     // a check that found a change: nothing written
};

// The list a command built, as the road takes it: a list (`list`) or its
// payload built already (`payload`, `payload_size`); both owned by the command.
struct BuiltList {
  CVarBlockList* list = nullptr;
  const uint8_t* payload = nullptr;
  uint32_t payload_size = 0;
  size_t entries = 0;  // entries the stream will hold
  bool change = true;  // false: the command was asked for nothing the stream lacks
  std::vector<Collision> collisions;
};

// What the command's report is told.
struct RoadResult {
  RoadEnd end = RoadEnd::kWritten;
  std::string target;                     // "stream \"S\" of C"
  size_t payload_size = 0;                // of the list as built
  uint32_t payload_bytes = 0;             // as stored (kWritten, kUnchanged)
  const ContainerReader* look = nullptr;  // the container as the road read it (dry run, check)
  bool created = false;                   // the write made the container
  // The payload as built (not for a dry run), valid while the report runs.
  const uint8_t* payload = nullptr;
  uint32_t payload_length = 0;
};

// Exit code a build step returns to let the road go on.
inline constexpr int kBuilt = -1;

// A writing command's own part of the road.
class ListEdit {
 public:
  virtual ~ListEdit() = default;
  // Whether the stream to edit is read before Build (into Build's `stored`),
  // and how. A command that replaces the whole stream reads nothing: the road
  // compares with the stream as the soundness check kept it.
  virtual bool ReadsStored(LoadOptions* options) const = 0;
  // Builds the list into *out from `stored` (entry -1: the stream is absent),
  // reading other streams through `road` where it must. Returns kBuilt, or the
  // exit code after saying why the command ends here (nothing is written).
  virtual int Build(class WriteRoad& road, const StreamContents& stored, BuiltList* out,
                    Io& io) = 0;
  // Says what became of the edit; returns the command's exit code.
  virtual int Report(const RoadResult& result, Io& io) = 0;
  // Says why the road ended before anything was written; returns the exit
  // code. By default the text on the error stream, exit 2.
  virtual int Fail(const Failure& failure, Io& io);
  // Whether the command's output is one JSON document (which then carries
  // what the road would otherwise say in a line of its own).
  virtual bool SpeaksJson() const { return false; }
};

struct WriteOrder {
  StreamRef ref;
  WriteMode mode = WriteMode::kWrite;
  WriteRules rules;
};

class WriteRoad {
 public:
  WriteRoad(const WriteOrder& order, Io& io) : order_(order), io_(io) {}

  // Takes the whole road; returns the command's exit code.
  int Drive(ListEdit& edit);

  // The name keys of the stream to edit as it stands, in stored order (none
  // when it is absent), for a command that replaces it without reading it:
  // from the payload the soundness pass kept, or read now for a look.
  bool StoredKeys(std::vector<uint64_t>* keys, std::string* error);

  // Reads a stream other than the one edited (merge's sources): through the
  // hold when it lies in the held container (no other open could read it on
  // Windows meanwhile), else by path.
  bool LoadOther(const StreamRef& ref, const LoadOptions& options, StreamContents* out,
                 std::string* error);

 private:
  // Each step fills *failure (its kind and its text) when it ends the road.
  bool Open(bool read_stored, Failure* failure);
  bool LoadStored(const LoadOptions& options, StreamContents* out, Failure* failure);
  bool Guard(const BuiltList& built, size_t payload_size, Failure* failure);
  // Compares and writes (or, in the read-only modes, only compares).
  bool Finish(const BuiltList& built, const StreamContents& stored, bool read_stored,
              RoadResult* result, Failure* failure);

  const WriteOrder& order_;
  Io& io_;
  EditSession session_;
  ContainerReader by_path_;
  const ContainerReader* look_ = nullptr;
  ListPayload built_;  // the payload the road built of a list
};

}  // namespace tl::ctl
