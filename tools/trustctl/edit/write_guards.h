// The refusals every command that writes a list applies to what it is about to
// store, right before it stores it: nothing is emptied, replaced by an entry of
// another name, created or written into otherwise than asked. Each rule lives
// here once; import, add, remove, apply and merge call it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "edit/soundness.h"
#include "io/io.h"
#include "view/container_view.h"

namespace tl::ctl {

// The guards read the container as the command sees it: through the writer's
// hold (EditSession::reader) for a real edit, or as OpenLook finds it by path
// for a dry run; null when there is no container yet. The write road
// (edit/write_road.h) applies them in its one order.
//
// A dry run's look: the container at `container` read by path into `reader`
// (a reader's snapshot, so an interrupted replacement is rolled back first);
// *look is null when nothing is there. False with *error when something is
// there but cannot be read (not a regular file, no permission).
bool OpenLook(const std::u16string& container, ContainerReader* reader,
              const ContainerReader** look, Io& io, std::string* error);

// Refuses an existing regular file of 0 bytes as the container to write. It is
// neither a container nor a new one: most often it is what a redirection left
// of a container (`trustctl export C > C`), and writing a fresh container into
// it would pass the lost streams off as an empty list. Only a path where
// nothing is makes a new container. By path, for dry runs; a real write's
// session refuses it under the writer's hold (StoreOptions::refuse_empty_file;
// its message is EmptyFileText).
bool CheckNotEmptyFile(const std::u16string& container, std::string* error);

// Refuses a container with damage an edit could spread or lose streams to
// (StopsEdit: a structural defect, a payload whose framing cannot be trusted,
// two blocks with one key, an unreadable stream), in any stream; the first
// such problem is named as verify names it. A block whose own content is odd
// (a finding of verify and lint) does not stop an edit: the edit keeps it as
// stored. No container is fine (the write creates it).
bool CheckSoundForEdit(const std::u16string& container, const ContainerReader* look,
                       std::string* error, KeptStream* keep = nullptr);

// A stream the container does not hold is created only when asked
// (--new-stream), except ProgramList and BlockList, the streams the product
// reads, which are always there to be written: a misspelt stream name never
// quietly becomes a new stream.
bool CheckStreamTarget(const std::u16string& container, const ContainerReader* look,
                       const std::u16string& stream, bool new_stream, std::string* error);

// A stream name that differs only in case (A-Z) from a stream the container
// holds or the product reads (a slip: "Blocklist" for "BlockList") is refused
// whatever the options, naming the stream meant: stored, it would be a stream
// of its own that the product never reads.
bool CheckStreamNameCase(const ContainerReader* look, const std::u16string& stream,
                         std::string* error);

// A non-empty stream is replaced by an empty list only when asked (--allow-empty).
// `held_before`: the stream holds at least one entry now.
bool CheckNotEmptied(const std::u16string& container, const std::u16string& stream,
                     bool held_before, size_t entries_after, bool allow_empty, std::string* error);

// Whether the stream holds at least one entry, by its stored length (a
// payload longer than an empty list's), without reading it.
bool StreamHoldsEntries(const ContainerReader* look, const std::u16string& stream);

// Refuses `path` (a file the command reads or writes besides the container,
// named `role`) when it is the same file as `container`, however it is named.
bool CheckNotContainer(const std::string& path_arg, const char* role,
                       const std::u16string& container, std::string* error);

// Two entries of different names with one name key: a list keeps one of them,
// so storing both would lose the other without a word.
struct Collision {
  uint64_t key = 0;
  std::u16string held_name;  // the entry that would be replaced (or dropped)
  std::string held_from;     // where it comes from ("the stream", "line 4", ...)
  std::u16string new_name;   // the entry that would take its place
  std::string new_from;
};

// Watches the entries that go into a list, in the order they go in, for one
// that takes the key of an entry of another name (names compare folding only
// A-Z, as the key does). Entries of one name replacing each other are no
// collision.
class CollisionWatch {
 public:
  void Enter(uint64_t key, const std::u16string& name, const std::string& from);
  const std::vector<Collision>& found() const { return found_; }

 private:
  struct Held {
    std::u16string name;
    std::string from;
  };
  std::unordered_map<uint64_t, Held> held_;
  std::vector<Collision> found_;
};

// True when the two names differ other than in the case of A-Z: two such
// names with one key are two entries a list cannot both hold.
bool OtherName(const std::u16string& a, const std::u16string& b);

// Prints each collision naming both entries. Returns true when the list may be
// written: there were none, or `allow` (--allow-collisions). The command then
// exits 1 whenever there were any, written or not.
bool ReportCollisions(const std::vector<Collision>& found, bool allow, Io& io);

}  // namespace tl::ctl
