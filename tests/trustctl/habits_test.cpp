// The habits every command shares: hash -j order, progress only on a terminal,
// -q, CONTAINER:STREAM, import's collisions, verify's sentences, and the
// interrupted replacement that verify and dump name and editing commands end.
#include <gtest/gtest.h>

#include <sstream>

#include "common/u16.h"
#include "ctl_test_util.h"
#include "minifile/journal.h"
#include "trustctl.h"

namespace tl::test {
namespace {

using ctl::kExitFindings;
using ctl::kExitOk;

CtlResult CtlOnTerminal(const std::vector<std::string>& args, bool terminal) {
  std::ostringstream out, err;
  CtlResult r;
  r.rc = ctl::RunTrustctl(args, out, err, terminal);
  r.out = out.str();
  r.err = err.str();
  return r;
}

TEST(CtlHabits, HashJobsKeepTheOrderAndProgressIsForTerminalsOnly) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "t");
  for (int i = 0; i < 2100; ++i) {
    WriteAll(dir.path() / "t" / ("f" + std::to_string(i)),
             std::vector<uint8_t>(static_cast<size_t>(i % 9000), static_cast<uint8_t>(i)));
  }
  const std::string tree = Arg(dir, "t");
  const CtlResult one = CtlOnTerminal({"hash", "-r", "--names", "-j", "1", tree}, false);
  ASSERT_EQ(one.rc, kExitOk);
  for (const char* jobs : {"2", "7"}) {
    EXPECT_EQ(CtlOnTerminal({"hash", "-r", "--names", "-j", jobs, tree}, false).out, one.out);
  }
  EXPECT_EQ(one.err, "");  // redirected: no progress
  const CtlResult shown = CtlOnTerminal({"hash", "-r", "-j", "2", tree}, true);
  EXPECT_NE(shown.err.find("\rhashed 2000 of 2100"), std::string::npos);
  EXPECT_EQ(shown.out.size(), 2100u * 18);
  // A big import shows how far it has read, on a terminal only.
  std::string big;
  for (int i = 1; i <= 70000; ++i) big += std::to_string(i) + " 1 a-name-the-import-ignores\n";
  const std::string list = WriteText(dir, "big", big);
  const CtlResult quiet = CtlOnTerminal({"import", "--dry-run", Arg(dir, "c.mnf"), list}, false);
  EXPECT_EQ(quiet.err, "");
  const CtlResult seen = CtlOnTerminal({"import", "--dry-run", Arg(dir, "c.mnf"), list}, true);
  EXPECT_NE(seen.err.find("\rbytes of the hash list read: " + std::to_string(big.size()) + " of " +
                          std::to_string(big.size())),
            std::string::npos)
      << seen.err.substr(0, 200);
}

TEST(CtlHabits, QuietStreamRefsAndCollisions) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  // Two pairs whose hash names share one name key (CRC-32), and a true duplicate.
  const std::string list =
      WriteText(dir, "h", "773aef21 242883e4\n1 1\n68bea8e6 c0e3f0c5\n1 1\nx\n");
  // A collision is never silent: both names, exit 1, nothing written unless asked.
  const CtlResult refused = Ctl({"import", box + ":BlockList", list});
  EXPECT_EQ(refused.rc, kExitFindings) << refused.err;
  EXPECT_NE(refused.err.find("collision: \"68bea8e6c0e3f0c5.*\" (line 3) has the name key "
                             "0x000000002dd06e11 of \"773aef21242883e4.*\" (line 1)"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(std::filesystem::exists(dir.File("c.mnf")));
  const CtlResult r = Ctl({"import", box + ":BlockList", list, "--allow-collisions"});
  EXPECT_EQ(r.rc, kExitFindings) << r.err;
  EXPECT_NE(r.out.find(":4: duplicate of line 2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("5 lines: 2 accepted, 1 duplicate, 1 skipped, 1 collision"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("wrote stream"), std::string::npos) << r.out;
  const CtlResult quiet = Ctl({"-q", "import", box + ":BlockList", list, "--allow-collisions"});
  EXPECT_EQ(quiet.out.find(":4: duplicate"), std::string::npos) << quiet.out;
  EXPECT_NE(quiet.out.find("5 lines: "), std::string::npos);
  EXPECT_NE(Ctl({"import", "-q", box, list, "--allow-collisions", "--new-stream"})
                .out.find("wrote stream"),
            std::string::npos);
  // Every list-naming command takes CONTAINER:STREAM.
  EXPECT_EQ(Ctl({"dump", box + ":BlockList"}).out.find("stream [1]"), std::string::npos);
  EXPECT_NE(Ctl({"dump", box + ":BlockList"}).out.find("stream [0] \"BlockList\""),
            std::string::npos);
  EXPECT_EQ(Ctl({"dump", box + ":BlockList", "BlockList"}).rc, ctl::kExitUsage);
}

TEST(CtlHabits, VerifySentencesAndInterruptedReplacements) {
  TempDir dir;
  WriteAll(dir.path() / "short.mnf", std::vector<uint8_t>(100, 1));
  const CtlResult s = Ctl({"verify", Arg(dir, "short.mnf")});
  EXPECT_EQ(s.rc, kExitFindings);
  EXPECT_NE(s.out.find("header-short: the file ends at 100 bytes, a header needs 128"),
            std::string::npos)
      << s.out;

  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"import", box, WriteText(dir, "h", "1 1\n")}).rc, kExitOk);
  const std::vector<uint8_t> before = FileBytes(box);
  // A journal that is not complete: the replacement stopped before it changed
  // anything. Whatever opens the container next, reader or writer, discards
  // it and says so; the container is as it was.
  const std::filesystem::path journal = Utf8ToU16(box + "-journal");
  for (const std::vector<std::string>& first :
       {std::vector<std::string>{"verify", box},
        {"dump", box},
        {"import", "--dry-run", box, WriteText(dir, "h2", "2 2\n")}}) {
    SCOPED_TRACE(first[0]);
    WriteAll(journal, {'M', 'F', 'J'});
    const CtlResult r = Ctl(first);
    EXPECT_EQ(r.rc, kExitOk) << r.err;
    EXPECT_NE(r.err.find("incomplete journal of an interrupted replacement was discarded"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("interrupted-replacement"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(journal));
    EXPECT_EQ(FileBytes(box), before);
  }
  WriteAll(journal, {'M', 'F', 'J'});
  const CtlResult add = Ctl({"add", box, "--hash", "2", "2"});
  EXPECT_EQ(add.rc, kExitOk) << add.err;
  EXPECT_NE(add.err.find("incomplete journal of an interrupted replacement was discarded"),
            std::string::npos)
      << add.err;
  EXPECT_EQ(InspectJournal(Utf8ToU16(box).c_str()), JournalState::kNone);
  EXPECT_EQ(Ctl({"verify", box}).rc, kExitOk);
}

}  // namespace
}  // namespace tl::test
