// trustctl's writes met after every crash they could suffer. The real tool
// runs once per writing command with the recorder preloaded (recorder.c),
// which traces every change it makes to the container's folder; every state
// a process crash, a power loss or a torn write could leave is then laid out
// in that folder (crash_trace.h), and each state is met, in a fresh copy, by
// one command of every kind: the readers, a writer adding an entry, a writer
// asked for what is there already, and the container copied to another folder
// together with its journal, then read or written there.
//
// After each meeting: the edited stream is exactly the older list or exactly
// the new one, the other stream byte for byte as it was, the container sound,
// no journal left; a reader printed the older or the new list (what it prints
// for one of them, exit code included) and never a torn one, and no command
// died. Every failure is one row of the table printed at the end.
//
// The container is small, so the new stream fits only by reusing blocks of the
// one it replaces: the journaled write, whose rollback the states exercise.
// One writer also meets a roomy container, where the write needs no journal
// and its one write of table and directory is the commit point.
// The folder is rewritten in place for every state, so the container keeps the
// file identity it had when the trace was made, as it would after a crash.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <regex>
#include <set>

#include "child_process.h"
#include "common/u16.h"
#include "crash_trace.h"
#include "ctl_test_util.h"
#include "entry/list_store.h"
#include "minifile/container_reader.h"
#include "minifile/creation_parameters.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;
using crash::CrashState;
using crash::Files;
using crash::StateClass;
using crash::TraceModel;

constexpr char kBox[] = "c.mnf";
constexpr char kJournal[] = "c.mnf-journal";
// 1 KiB blocks, 14 data blocks: BlockList takes 1, a list of 40 entries 8.
constexpr CreationParameters kSmall{20, 1024, 16, 4, 0};
// What one writer's states may number, so that the test keeps to its time.
constexpr size_t kMaxStates = 260;
constexpr size_t kMaxMeetings = 16;

std::string HashLines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += std::to_string(i) + " 7\n";
  return s;
}

std::string Text(const fs::path& p) {
  const std::vector<uint8_t> b = ReadAll(p);
  return std::string(b.begin(), b.end());
}

std::string FirstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

struct Outcome {
  int rc = -1;  // -1: the process did not exit normally
  std::string out;
  std::string err;
};

bool SameOutcome(const Outcome& a, const Outcome& b) { return a.rc == b.rc && a.out == b.out; }

// dump names the file's length, which a rolled-back container keeps from the
// write it undid (bytes in blocks the older table marks free).
std::string WithoutFileLength(const std::string& dump) {
  const size_t eol = dump.find('\n');
  static const std::regex kLength(R"(\(\d+ bytes\))");
  return std::regex_replace(dump.substr(0, eol), kLength, "(N bytes)") +
         (eol == std::string::npos ? "" : dump.substr(eol));
}

enum class Kind { kReader, kAdd, kNoOp };

// Where a command meets a state: in the state's folder; on a copy of
// container and journal in another folder (a reader there is followed by
// verify of the copy); or in the state's folder by a process that may not
// write there (it must show what the others show and change nothing).
enum class Where { kHere, kCopy, kReadOnly };

// One command that meets a state: COMMAND CONTAINER[SUFFIX] REST...
struct Meeting {
  const char* name;
  Kind kind;
  Where where;
  std::string command;
  std::string suffix;
  std::vector<std::string> rest;

  std::vector<std::string> Args(const std::string& box) const {
    std::vector<std::string> args = {command, box + suffix};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  }
};

struct Problem {
  std::string what;  // the class of the failure, for the summary
  std::string detail;
};

struct Row {
  std::string state;
  std::string meeting;
  Problem problem;
};

class CrashHarness {
 public:
  CrashHarness() {
    fs::create_directories(tmp_.path() / "run");
    fs::create_directories(tmp_.path() / "copy");
    // The recorder compares resolved paths: every path given is one.
    root_ = fs::canonical(tmp_.path());
    run_ = root_ / "run";
    copy_ = root_ / "copy";
  }

  fs::path root() const { return root_; }
  std::string Box() const { return (run_ / kBox).string(); }

  Outcome Spawn(const std::vector<std::string>& args, ChildSetup setup = ChildSetup()) {
    return Spawn(args, false, std::move(setup));
  }

  // `unprivileged`: file modes bind the process even when the test runs as
  // root.
  Outcome Spawn(const std::vector<std::string>& args, bool unprivileged,
                ChildSetup setup = ChildSetup()) {
    setup.unprivileged = unprivileged;
    setup.out = (root_ / "stdout").string();
    setup.err = (root_ / "stderr").string();
    Outcome o;
    o.rc = WaitExit(StartTrustctl(args, setup));
    o.out = Text(setup.out);
    o.err = Text(setup.err);
    return o;
  }

  static Files Snapshot(const fs::path& dir) {
    Files files;
    for (const auto& e : fs::directory_iterator(dir)) {
      if (e.is_regular_file()) files[e.path().filename().string()] = ReadAll(e.path());
    }
    return files;
  }

  // Lays `files` out in the run folder, rewriting the files that stay in
  // place. False when the container is no longer the file it was.
  bool Materialize(const Files& files) {
    for (const auto& e : fs::directory_iterator(run_)) {
      if (!files.count(e.path().filename().string())) fs::remove(e.path());
    }
    for (const auto& [name, bytes] : files) WriteAll(run_ / name, bytes);
    struct stat st {};
    if (::stat(Box().c_str(), &st) != 0) return false;
    if (box_inode_ == 0) box_inode_ = st.st_ino;
    return st.st_ino == box_inode_;
  }

  // Takes write permission on the run folder and its files away (true), or
  // gives it back.
  void ReadOnly(bool on) {
    const auto perms =
        on ? fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write
           : fs::perms::owner_write;
    const auto how = on ? fs::perm_options::remove : fs::perm_options::add;
    for (const auto& e : fs::directory_iterator(run_)) fs::permissions(e.path(), perms, how);
    fs::permissions(run_, perms, how);
  }

  // The folder as a copy elsewhere: container and journal together.
  std::string CopyElsewhere() {
    fs::remove_all(copy_);
    fs::create_directories(copy_);
    for (const auto& e : fs::directory_iterator(run_)) {
      fs::copy_file(e.path(), copy_ / e.path().filename());
    }
    return (copy_ / kBox).string();
  }

 private:
  TempDir tmp_;
  fs::path root_, run_, copy_;
  ino_t box_inode_ = 0;
};

struct Scenario {
  const char* name;
  // The writing command after the container argument.
  std::vector<std::string> (*args)(const fs::path& inputs);
  CreationParameters container = kSmall;
  bool journaled = true;  // whether the write needs its journal
};

class CrashStates : public ::testing::Test {
 protected:
  void RunScenario(const Scenario& scenario);

 private:
  // The checks after a command met a state in `box`'s folder: `allowed` are
  // the lists the edited stream may hold; `had_journal`: the state had one.
  void CheckAfter(const std::string& box, const std::vector<std::vector<uint8_t>>& allowed,
                  bool had_journal, const std::string& err, std::vector<Problem>* problems);
  // A reader's outcome against its outcomes over the older and the new list;
  // -1 when it is neither, else which (0: older, 1: new).
  int CheckReader(size_t meeting, const Outcome& o, std::vector<Problem>* problems);

  CrashHarness h_;
  std::vector<Meeting> meetings_;
  Outcome refs_[2][kMaxMeetings];  // per list (older, new), per meeting
  std::vector<uint8_t> lists_[2];
  std::vector<uint8_t> lists_added_[2];
  std::vector<uint8_t> block_list_;
};

int CrashStates::CheckReader(size_t m, const Outcome& o, std::vector<Problem>* problems) {
  for (int side = 0; side < 2; ++side) {
    if (SameOutcome(o, refs_[side][m])) return side;
  }
  const Outcome& older = refs_[0][m];
  const Outcome& newer = refs_[1][m];
  if (o.rc != older.rc && o.rc != newer.rc) {
    problems->push_back({"unexpected exit code",
                         "exit " + std::to_string(o.rc) + " (expected " + std::to_string(older.rc) +
                             " or " + std::to_string(newer.rc) + "): " + FirstLine(o.err)});
  } else {
    // The first line where it parts from the older list's output.
    size_t at = 0;
    while (at < o.out.size() && at < older.out.size() && o.out[at] == older.out[at]) ++at;
    const size_t line = o.out.rfind('\n', at == 0 ? 0 : at - 1);
    problems->push_back({"printed neither the older nor the new list",
                         "first difference: \"" +
                             FirstLine(o.out.substr(line == std::string::npos ? 0 : line + 1)) +
                             "\""});
  }
  return -1;
}

void CrashStates::CheckAfter(const std::string& box,
                             const std::vector<std::vector<uint8_t>>& allowed, bool had_journal,
                             const std::string& err, std::vector<Problem>* problems) {
  if (fs::exists(box + "-journal")) {
    problems->push_back({"a journal remains", "beside " + fs::path(box).filename().string()});
    return;  // the container is what the journal is there to mend
  }
  if (had_journal && err.empty()) {
    problems->push_back({"the journal was dealt with silently", "nothing on stderr"});
  }
  ContainerReader reader;
  if (!reader.Open(Utf8ToU16(box).c_str()) || !reader.header_valid()) {
    problems->push_back({"the container cannot be read", ""});
    return;
  }
  if (const std::vector<Finding> f = reader.Verify(); !f.empty()) {
    problems->push_back({"the container is not sound", DefectName(f[0].defect)});
  }
  const std::vector<uint8_t> now = StreamPayload(box, u"ProgramList");
  if (std::find(allowed.begin(), allowed.end(), now) == allowed.end()) {
    problems->push_back(
        {"the edited stream is neither list", std::to_string(now.size()) + " payload bytes"});
  }
  if (StreamPayload(box, u"BlockList") != block_list_) {
    problems->push_back({"the other stream changed", ""});
  }
}

void CrashStates::RunScenario(const Scenario& scenario) {
  const auto started = std::chrono::steady_clock::now();
  const fs::path root = h_.root();
  const std::string box = h_.Box();
  const std::string journal = box + "-journal";

  // A file listed in both lists, for test; the other stream; the lists.
  WriteAll(root / "probe.bin", {'p', 'r', 'o', 'b', 'e'});
  const CtlResult probe_hash = Ctl({"hash", (root / "probe.bin").string()});
  ASSERT_EQ(probe_hash.rc, 0) << probe_hash.err;
  const std::string probe_line = probe_hash.out;
  WriteAll(root / "blocked.txt", {'9', '0', '0', ' ', '7', '\n'});
  const std::string blocked = (root / "blocked.txt").string();
  // The new list parts from the older one in its first block, so that a read
  // that mixes their blocks shows.
  const std::string old_text = HashLines(1, 39) + probe_line;
  WriteAll(root / "old.txt", std::vector<uint8_t>(old_text.begin(), old_text.end()));
  const std::string new_text = HashLines(11, 59) + probe_line;
  WriteAll(root / "new.txt", std::vector<uint8_t>(new_text.begin(), new_text.end()));
  {
    ListStore store;
    ASSERT_EQ(store.Open(Utf8ToU16(box).c_str(), scenario.container), StoreStatus::kOk);
  }
  ASSERT_EQ(Ctl({"import", box + ":BlockList", blocked}).rc, 0);
  ASSERT_EQ(Ctl({"import", box, (root / "old.txt").string(), "--new-stream"}).rc, 0);
  const Files before = CrashHarness::Snapshot(root / "run");
  ASSERT_TRUE(h_.Materialize(before));
  block_list_ = StreamPayload(box, u"BlockList");
  lists_[0] = StreamPayload(box, u"ProgramList");
  ASSERT_FALSE(lists_[0].empty());
  fs::create_directories(root / "ref");
  const std::string old_box = (root / "ref" / "old.mnf").string();
  fs::copy_file(box, old_box);

  // The recorded run.
  std::vector<std::string> writer = {scenario.name, box};
  const std::vector<std::string> rest = scenario.args(root);
  writer.insert(writer.end(), rest.begin(), rest.end());
  const std::string trace_path = (root / "trace").string();
  ChildSetup traced;
  traced.env = {{"TL_CRASH_DIR", (root / "run").string()},
                {"TL_CRASH_TRACE", trace_path},
                {"LD_PRELOAD", TL_CRASH_RECORDER}};
  const Outcome recorded = h_.Spawn(writer, traced);
  ASSERT_EQ(recorded.rc, 0) << recorded.err;
  const Files after = CrashHarness::Snapshot(root / "run");
  lists_[1] = StreamPayload(box, u"ProgramList");
  ASSERT_NE(lists_[1], lists_[0]);
  ASSERT_FALSE(fs::exists(journal));

  std::vector<crash::Op> ops;
  std::string error;
  ASSERT_TRUE(crash::ParseTrace(Text(trace_path), &ops, &error)) << error;
  const TraceModel model(before, ops);
  std::vector<size_t> all(ops.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  // The trace holds everything the run did: replayed whole, it is the run.
  ASSERT_EQ(model.Replay(all), after) << ops.size() << " ops";
  const bool journaled = std::any_of(ops.begin(), ops.end(), [](const crash::Op& op) {
    return op.kind == crash::OpKind::kCreate && op.name == kJournal;
  });
  ASSERT_EQ(journaled, scenario.journaled) << "the container is too roomy or too small";
  crash::StateCounts counts;
  const std::vector<CrashState> states = model.States(&counts);
  ASSERT_LE(states.size(), kMaxStates);

  const std::string probe = (root / "probe.bin").string();
  meetings_ = {
      {"verify", Kind::kReader, Where::kHere, "verify", "", {}},
      {"dump", Kind::kReader, Where::kHere, "dump", "", {}},
      {"export", Kind::kReader, Where::kHere, "export", "", {}},
      {"test", Kind::kReader, Where::kHere, "test", "", {probe}},
      {"diff", Kind::kReader, Where::kHere, "diff", "", {old_box}},
      {"lint", Kind::kReader, Where::kHere, "lint", "", {}},
      {"add", Kind::kAdd, Where::kHere, "add", "", {"--hash", "99", "98"}},
      {"import unchanged", Kind::kNoOp, Where::kHere, "import", ":BlockList", {blocked}},
      {"copied: export, verify", Kind::kReader, Where::kCopy, "export", "", {}},
      {"copied: add", Kind::kAdd, Where::kCopy, "add", "", {"--hash", "99", "98"}},
      {"read-only export", Kind::kReader, Where::kReadOnly, "export", "", {}},
  };
  ASSERT_LE(meetings_.size(), kMaxMeetings);
  // Where a command's outcomes over the older and the new list are kept: the
  // first meeting with that command.
  std::vector<size_t> ref_of(meetings_.size());
  for (size_t m = 0; m < meetings_.size(); ++m) {
    ref_of[m] = m;
    for (size_t r = 0; r < m; ++r) {
      if (meetings_[r].command == meetings_[m].command) {
        ref_of[m] = r;
        break;
      }
    }
  }

  // What each command does to the older and to the new list, uninterrupted.
  const Files* sides[2] = {&before, &after};
  for (int side = 0; side < 2; ++side) {
    for (size_t m = 0; m < meetings_.size(); ++m) {
      if (ref_of[m] != m) continue;
      ASSERT_TRUE(h_.Materialize(*sides[side]));
      Outcome o = h_.Spawn(meetings_[m].Args(box));
      if (meetings_[m].command == "dump") o.out = WithoutFileLength(o.out);
      if (meetings_[m].kind == Kind::kReader) {
        EXPECT_GE(o.rc, 0) << meetings_[m].name;
        refs_[side][m] = o;
      } else if (meetings_[m].kind == Kind::kAdd) {
        ASSERT_EQ(o.rc, 0) << o.err;
        lists_added_[side] = StreamPayload(box, u"ProgramList");
      }
    }
  }
  ASSERT_NE(refs_[0][ref_of[2]].out, refs_[1][ref_of[2]].out);  // export
  ASSERT_NE(lists_added_[0], lists_added_[1]);

  std::vector<Row> rows;
  size_t meetings_run = 0;
  std::set<size_t> failed_states;
  for (size_t index = 0; index < states.size(); ++index) {
    const CrashState& state = states[index];
    const bool had_journal = state.files.count(kJournal) != 0;
    std::vector<Outcome> here(meetings_.size());  // per meeting in the state's folder
    for (size_t m = 0; m < meetings_.size(); ++m) {
      const Meeting& meeting = meetings_[m];
      ASSERT_TRUE(h_.Materialize(state.files)) << "the container changed its identity";
      std::vector<Problem> problems;
      const std::string target = meeting.where == Where::kCopy ? h_.CopyElsewhere() : box;
      const bool read_only = meeting.where == Where::kReadOnly;
      if (read_only) h_.ReadOnly(true);
      Outcome o = h_.Spawn(meeting.Args(target), read_only);
      if (read_only) h_.ReadOnly(false);
      ++meetings_run;
      if (meeting.command == "dump") o.out = WithoutFileLength(o.out);
      if (o.rc < 0) problems.push_back({"the command died", FirstLine(o.err)});
      std::vector<std::vector<uint8_t>> allowed = {lists_[0], lists_[1]};
      std::string err = o.err;
      int side = -1;
      if (meeting.kind == Kind::kReader) {
        side = CheckReader(ref_of[m], o, &problems);
      } else if (o.rc != 0) {
        problems.push_back(
            {"unexpected exit code", "exit " + std::to_string(o.rc) + ": " + FirstLine(o.err)});
      }
      if (meeting.kind == Kind::kAdd) allowed = {lists_added_[0], lists_added_[1]};
      if (meeting.where == Where::kHere) here[m] = o;
      if (read_only) {
        if (!SameOutcome(o, here[ref_of[m]])) {
          problems.push_back(
              {"shows otherwise than where it may write",
               "exit " + std::to_string(o.rc) + " against " + std::to_string(here[ref_of[m]].rc)});
        }
        if (CrashHarness::Snapshot(fs::path(box).parent_path()) != state.files) {
          problems.push_back({"changed the folder it may not write", ""});
        }
      }
      if (meeting.where == Where::kCopy && meeting.kind == Kind::kReader) {
        const Outcome v = h_.Spawn({"verify", target});
        ++meetings_run;
        if (v.rc != 0) {
          problems.push_back({"verify of the copy fails",
                              "exit " + std::to_string(v.rc) + ": " + FirstLine(v.out)});
        }
        err += v.err;
      }
      // What a reader printed is what the container holds once it is done.
      const size_t r = ref_of[m];
      if (side >= 0 && !fs::exists(target + "-journal") && refs_[0][r].out != refs_[1][r].out &&
          StreamPayload(target, u"ProgramList") != lists_[side]) {
        problems.push_back({"printed the other list than the container keeps",
                            side == 0 ? "printed the older list" : "printed the new list"});
      }
      // A process that may not write leaves the state as it found it, journal
      // and all (checked above).
      if (!read_only) CheckAfter(target, allowed, had_journal, err, &problems);
      if (!problems.empty()) failed_states.insert(index);
      for (Problem& p : problems) {
        rows.push_back(
            {"#" + std::to_string(index) + " " + state.label, meeting.name, std::move(p)});
      }
    }
  }

  // TL_CRASH_KEEP=FOLDER keeps the folder before the write and its trace
  // (FOLDER/TEST/before/, FOLDER/TEST/trace) and every state that failed
  // (FOLDER/TEST/#N/), to look at their bytes.
  const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  if (const char* keep = std::getenv("TL_CRASH_KEEP"); keep != nullptr && *keep != 0) {
    fs::create_directories(fs::path(keep) / test / "before");
    for (const auto& [name, bytes] : before)
      WriteAll(fs::path(keep) / test / "before" / name, bytes);
    fs::copy_file(trace_path, fs::path(keep) / test / "trace",
                  fs::copy_options::overwrite_existing);
    for (size_t index : failed_states) {
      const fs::path dir = fs::path(keep) / test / ("#" + std::to_string(index));
      fs::create_directories(dir);
      for (const auto& [name, bytes] : states[index].files) WriteAll(dir / name, bytes);
    }
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << test << ": crash states of \"" << scenario.name << "\": " << ops.size()
            << " traced ops, " << states.size() << " states (";
  for (int c = 0; c < crash::kStateClasses; ++c) {
    std::cout << (c ? ", " : "") << crash::StateClassName(static_cast<StateClass>(c)) << " "
              << counts.kept[c] << " of " << counts.made[c];
  }
  std::cout << "), " << meetings_run << " commands run, " << static_cast<int>(seconds) << " s\n";
  if (rows.empty()) return;

  std::map<std::pair<std::string, std::string>, size_t> classes;
  for (const Row& r : rows) ++classes[{r.meeting, r.problem.what}];
  std::cout << rows.size() << " failures; by command and kind:\n";
  for (const auto& [key, n] : classes) {
    std::cout << "  " << key.first << ": " << key.second << " (" << n << ")\n";
  }
  // The first rows of each kind, or every row with TL_CRASH_TABLE=full.
  const char* table = std::getenv("TL_CRASH_TABLE");
  const bool full = table != nullptr && std::string(table) == "full";
  constexpr size_t kPerKind = 4;
  std::map<std::pair<std::string, std::string>, size_t> shown;
  std::cout << "state | command | what was wrong\n";
  for (const Row& r : rows) {
    if (!full && shown[{r.meeting, r.problem.what}]++ >= kPerKind) continue;
    std::cout << r.state << " | " << r.meeting << " | " << r.problem.what
              << (r.problem.detail.empty() ? "" : ": " + r.problem.detail) << "\n";
  }
  ADD_FAILURE() << rows.size() << " failures after crashes of \"" << scenario.name << "\"";
}

std::vector<std::string> ImportArgs(const fs::path& inputs) {
  return {(inputs / "new.txt").string()};
}
std::vector<std::string> AddArgs(const fs::path&) {
  return {"--path", "C:\\x\\app.exe", "--text1", "t", "--hash", "77", "88"};
}
std::vector<std::string> RemoveArgs(const fs::path&) {
  return {"0000000300000007.*", "0000000400000007.*"};
}

TEST_F(CrashStates, ImportOverAFullContainer) { RunScenario({"import", ImportArgs}); }
TEST_F(CrashStates, AddOverAFullContainer) { RunScenario({"add", AddArgs}); }
TEST_F(CrashStates, RemoveFromAFullContainer) { RunScenario({"remove", RemoveArgs}); }
// Room to spare, no block reused: with 2048 table entries the one write of
// table and directory spans a 4 KiB page boundary, so it is journaled too;
// with 1024 it lies in the first page and is the commit point itself.
TEST_F(CrashStates, AddIntoARoomyContainerWithALargeTable) {
  RunScenario({"add", AddArgs, CreationParameters{20, 1024, 2048, 4, 0}, true});
}
TEST_F(CrashStates, AddIntoARoomyContainerWithASmallTable) {
  RunScenario({"add", AddArgs, CreationParameters{20, 1024, 1024, 4, 0}, false});
}

}  // namespace
}  // namespace tl::test
