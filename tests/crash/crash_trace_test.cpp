// The crash-state model itself: what it reads from a trace, what a flush
// forces, and which states it lays out. A model that kept a forced write out,
// or never dropped an unforced one, would let the crash-state test pass over
// the very faults it is there to find.
#include "crash_trace.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tl::test::crash {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<Op> Parsed(const std::string& trace) {
  std::vector<Op> ops;
  std::string error;
  EXPECT_TRUE(ParseTrace(trace, &ops, &error)) << error;
  return ops;
}

bool HasState(const std::vector<CrashState>& states, const Files& files) {
  return std::any_of(states.begin(), states.end(),
                     [&](const CrashState& s) { return s.files == files; });
}

TEST(CrashTrace, ReadsEveryLineTheRecorderWritesAndRefusesOthers) {
  const std::vector<Op> ops = Parsed(
      "create a%20b\n"
      "write a%20b 4094 41420a\n"
      "truncate a%20b 7\n"
      "fsync a%20b\nfdatasync a%20b\nfsyncdir\n"
      "rename a%20b c\nunlink c\n");
  ASSERT_EQ(ops.size(), 8u);
  EXPECT_EQ(ops[0].name, "a b");
  EXPECT_EQ(ops[1].offset, 4094u);
  EXPECT_EQ(ops[1].data, Bytes("AB\n"));
  EXPECT_EQ(ops[2].offset, 7u);
  EXPECT_EQ(ops[6].to, "c");
  EXPECT_EQ(ops[7].kind, OpKind::kUnlink);

  const char* bad[] = {
      "write a 0\n",      // no bytes
      "write a 0 4g\n",   // not hex
      "write a x 41\n",   // no offset
      "create a%2\n",     // a cut escape
      "rename a\n",       // no target
      "fsyncdir a\n",     // a name where none belongs
      "sync a\n",         // no such call
      "truncate a -1\n",  // no length
  };
  for (const char* line : bad) {
    std::vector<Op> out;
    std::string error;
    EXPECT_FALSE(ParseTrace(line, &out, &error)) << line;
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
  }
}

// The journal protocol in miniature: journal made and named on disk, written,
// flushed; the container overwritten and flushed; the journal deleted.
const char kProtocol[] =
    "create j\nfsyncdir\n"   // 0 1
    "write j 0 4f\n"         // 2
    "fsync j\n"              // 3
    "write c 0 4e\n"         // 4
    "write c 1 4e\n"         // 5
    "fsync c\n"              // 6
    "unlink j\nfsyncdir\n";  // 7 8

TEST(CrashTrace, AFlushForcesItsOwnFileOrTheNamesOnly) {
  const TraceModel model({{"c", Bytes("oo")}}, Parsed(kProtocol));
  struct Case {
    size_t op, flush;
    bool forced;
  } cases[] = {
      {0, 1, false},  // the name is not on disk before the folder's flush ran
      {0, 3, true},  {2, 3, false}, {2, 6, true},
      {4, 6, false},  // a flush of the journal says nothing of the container
      {4, 8, true},  {7, 8, false}, {2, 8, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(model.Forced(c.op, c.flush), c.forced) << c.op << " before " << c.flush;
  }
  // Another file's flush between a write and its own forces nothing of it.
  const TraceModel two({{"a", {}}, {"b", {}}}, Parsed("write a 0 41\nfsync b\nfsync a\n"));
  EXPECT_FALSE(two.Forced(0, 2));
  EXPECT_TRUE(two.Forced(0, 3));
}

TEST(CrashTrace, StatesKeepWhatWasForcedAndLoseWhatWasNot) {
  const TraceModel model({{"c", Bytes("oo")}}, Parsed(kProtocol));
  StateCounts counts;
  const std::vector<CrashState> states = model.States(&counts);
  const Files start = {{"c", Bytes("oo")}};
  const Files done = {{"c", Bytes("NN")}};
  // A journal whose creation was lost takes its bytes with it.
  EXPECT_EQ(model.Replay({2, 3}), start);
  EXPECT_TRUE(HasState(states, start));
  EXPECT_TRUE(HasState(states, done));
  // The container's writes, not yet flushed, reach the disk in part and in
  // either order; the journal they follow is always complete then.
  const Files one = {{"c", Bytes("No")}, {"j", Bytes("O")}};
  const Files other = {{"c", Bytes("oN")}, {"j", Bytes("O")}};
  EXPECT_TRUE(HasState(states, one));
  EXPECT_TRUE(HasState(states, other));
  // The journal's deletion, not yet flushed, can come back.
  EXPECT_TRUE(HasState(states, Files{{"c", Bytes("NN")}, {"j", Bytes("O")}}));
  for (const CrashState& s : states) {
    // Nothing forced before the container changed is ever lost.
    if (s.files.at("c") != Bytes("oo")) {
      EXPECT_TRUE(s.files.count("j") == 0 || s.files.at("j") == Bytes("O")) << s.label;
      EXPECT_FALSE(s.files.count("j") == 0 && s.files.at("c") != Bytes("NN")) << s.label;
    }
  }
  // Identical states are kept once.
  for (size_t a = 0; a < states.size(); ++a) {
    for (size_t b = a + 1; b < states.size(); ++b) EXPECT_NE(states[a].files, states[b].files);
  }
  size_t kept = 0, made = 0;
  for (int c = 0; c < kStateClasses; ++c) {
    kept += counts.kept[c];
    made += counts.made[c];
  }
  EXPECT_EQ(kept, states.size());
  EXPECT_GT(made, kept);
}

TEST(CrashTrace, AWriteTearsOnlyAtThePageBoundariesItCrosses) {
  const std::string inside_a_page = "write f 10 " + std::string(2 * 100, 'a') + "\nfsync f\n";
  const std::string across = "write f 4094 41424344\nfsync f\n";  // "AB" | "CD" at 4096
  const Files empty = {{"f", {}}};
  {
    const TraceModel model(empty, Parsed(inside_a_page));
    StateCounts counts;
    model.States(&counts);
    EXPECT_EQ(counts.made[static_cast<int>(StateClass::kTornWrite)], 0u);
  }
  const TraceModel model(empty, Parsed(across));
  StateCounts counts;
  const std::vector<CrashState> states = model.States(&counts);
  std::vector<uint8_t> head(4096, 0), tail(4098, 0);
  head[4094] = 'A';
  head[4095] = 'B';
  tail[4096] = 'C';
  tail[4097] = 'D';
  EXPECT_TRUE(HasState(states, Files{{"f", head}}));
  EXPECT_TRUE(HasState(states, Files{{"f", tail}}));
}

TEST(CrashTrace, WritesFollowTheirFileThroughARename) {
  // Written under a temporary name, flushed, renamed over the target.
  const TraceModel model({{"out", Bytes("old")}},
                         Parsed("create tmp\nwrite tmp 0 6e6577\nfsync tmp\n"
                                "rename tmp out\nfsyncdir\n"));
  EXPECT_EQ(model.Replay({0, 1, 2, 3, 4}), (Files{{"out", Bytes("new")}}));
  EXPECT_EQ(model.Replay({0, 1, 2}), (Files{{"out", Bytes("old")}, {"tmp", Bytes("new")}}));
  // A rename whose file was never named on disk moves nothing.
  EXPECT_EQ(model.Replay({1, 3}), (Files{{"out", Bytes("old")}}));
  StateCounts counts;
  for (const CrashState& s : model.States(&counts)) {
    // The folder's names are journaled in order: never the rename without
    // the creation of what it moves.
    ASSERT_TRUE(s.files.count("out")) << s.label;
    EXPECT_TRUE(s.files.at("out") == Bytes("old") || s.files.at("out") == Bytes("new")) << s.label;
  }
}

}  // namespace
}  // namespace tl::test::crash
