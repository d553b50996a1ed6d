// The calls a process made on the files of one folder, as the recorder
// (recorder.c) traced them, and the folder states a crash could leave:
//
// - a process crash after the first k calls, for every k: the system has
//   everything the process handed it, in order;
// - a power loss: what reached the disk is what a flush forced there (fsync or
//   fdatasync of a file: its bytes; fsync of the folder: its names) plus any
//   part of the rest. Between two flushes the state is bounded to: all
//   unforced calls lost, each one lost alone, each one kept alone, and every
//   later part kept with the earlier part lost (the disk wrote them in another
//   order);
// - a torn write: a write that crosses a 4 KiB boundary of the file reaches
//   the disk only up to that boundary, or only from it on, alone or with the
//   rest of its interval.
// Identical states are kept once, under the first label that made them.
//
// Trace lines (names percent-escaped, data in hex):
//   create NAME              the open that made NAME
//   truncate NAME LEN        an open with O_TRUNC (LEN 0) or ftruncate
//   write NAME OFFSET HEX    bytes the system took at OFFSET (write, pwrite)
//   fsync NAME | fdatasync NAME | fsyncdir
//   rename FROM TO | unlink NAME
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tl::test::crash {

// A folder's regular files by name.
using Files = std::map<std::string, std::vector<uint8_t>>;

enum class OpKind { kCreate, kTruncate, kWrite, kFsync, kFdatasync, kFsyncDir, kRename, kUnlink };

struct Op {
  OpKind kind = OpKind::kCreate;
  std::string name;
  std::string to;       // rename only
  uint64_t offset = 0;  // write: where; truncate: the new length
  std::vector<uint8_t> data;
};

// False with *error naming the line when a line is not one of the above.
bool ParseTrace(const std::string& text, std::vector<Op>* ops, std::string* error);

// "write c.mnf 3488+1024", for labels and reports.
std::string Describe(const Op& op);

// How a state came about; the classes of the report.
enum class StateClass { kProcessCrash, kPowerLoss, kTornWrite };
inline constexpr int kStateClasses = 3;
const char* StateClassName(StateClass c);

struct CrashState {
  StateClass cls = StateClass::kProcessCrash;
  std::string label;
  Files files;
};

struct StateCounts {
  size_t made[kStateClasses] = {};  // before removing duplicates
  size_t kept[kStateClasses] = {};
};

// The part of a write op that reaches the disk: [begin, end) of its data.
struct WritePart {
  size_t op = SIZE_MAX;
  size_t begin = 0;
  size_t end = 0;
};

// The model behind the states, exposed for its own tests.
class TraceModel {
 public:
  TraceModel(const Files& initial, std::vector<Op> ops);

  const std::vector<Op>& ops() const { return ops_; }

  // Whether op `i` is on the disk for certain when op `k` (a flush) is about to
  // run: a later flush before `k` forced it.
  bool Forced(size_t i, size_t k) const;

  // The folder after the ops of `keep` (indices, any order; each applied in
  // program order), the write `part.op` (when it is one of them) reduced to
  // its part.
  Files Replay(const std::vector<size_t>& keep, const WritePart& part = WritePart()) const;

  // Every state of the classes above, duplicates removed.
  std::vector<CrashState> States(StateCounts* counts) const;

 private:
  Files initial_;
  std::vector<Op> ops_;
  std::vector<int> file_of_;  // per op: the file it acts on (-1: the folder's names only)
};

inline constexpr uint64_t kPageSize = 4096;

}  // namespace tl::test::crash
