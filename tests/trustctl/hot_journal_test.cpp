// Every command meets an interrupted replacement the same way: before it
// judges or shows anything, a complete journal of the container is rolled
// back (and said on the error stream), so no reader ever shows the torn list
// and no writer judges it damaged; a container copied with its journal
// recovers wherever it lies; another container's journal is left alone.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/u16.h"
#include "ctl_test_util.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;

struct Meeting {
  const char* what;
  std::vector<std::string> args;  // "C" stands for the container, "L" for the new hash list
  int rc;
};

std::vector<std::string> Bind(const std::vector<std::string>& args, const HotJournal& hot,
                              const std::string& box) {
  std::vector<std::string> out;
  for (const std::string& a : args) {
    out.push_back(a == "C" ? box : a == "C:B" ? box + ":BlockList" : a == "L" ? hot.new_list : a);
  }
  return out;
}

const Meeting kMeetings[] = {
    {"export", {"export", "C"}, 0},
    {"dump", {"dump", "C"}, 0},
    {"dump --json", {"dump", "--json", "C"}, 0},
    {"verify", {"verify", "C"}, 0},
    {"lint", {"lint", "C"}, 0},
    {"diff", {"diff", "C", "C"}, 0},
    {"test", {"test", "C", "L"}, 1},  // the hash list itself is not listed
    {"import --dry-run", {"import", "--dry-run", "C", "L"}, 0},
    {"add (a writer)", {"add", "--no-notify", "C", "--hash", "99", "99"}, 0},
    {"no-op import", {"import", "--no-notify", "C:B", "B"}, 0},
};

TEST(CtlHotJournal, EveryCommandRollsBackFirstInPlaceAndInACopy) {
  for (const Meeting& m : kMeetings) {
    for (const bool copied : {false, true}) {
      SCOPED_TRACE(std::string(m.what) + (copied ? " (copied pair)" : ""));
      TempDir dir;
      const HotJournal hot = MakeHotJournal(dir);
      ASSERT_FALSE(hot.box.empty());
      std::string box = hot.box;
      const std::vector<uint8_t> hot_bytes = FileBytes(box);
      if (copied) {
        // A restored backup: both files elsewhere, with another identity.
        fs::create_directory(dir.path() / "restored");
        fs::copy_file(Utf8ToU16(box), dir.path() / "restored" / "hot.mnf");
        fs::copy_file(Utf8ToU16(box + "-journal"), dir.path() / "restored" / "hot.mnf-journal");
        box = U16ToUtf8((dir.path() / "restored" / "hot.mnf").u16string());
      }
      std::vector<std::string> args = Bind(m.args, hot, box);
      for (std::string& a : args) {
        if (a == "B") a = WriteText(dir, "same-blocks", "900 7\n901 7\n902 7\n");
      }
      const CtlResult r = Ctl(args);
      EXPECT_EQ(r.rc, m.rc) << r.err;
      EXPECT_NE(r.err.find("an interrupted replacement was rolled back to the older stream"),
                std::string::npos)
          << r.err;
      EXPECT_FALSE(fs::exists(Utf8ToU16(box + "-journal")));
      // Nothing of the torn list is shown, and the container holds the older
      // list (plus the writer's own change).
      EXPECT_EQ(r.out.find("damaged"), std::string::npos) << r.out;
      const CtlResult v = Ctl({"verify", box});
      EXPECT_EQ(v.rc, 0) << v.out;
      if (args[0] != "add") {
        EXPECT_EQ(Ctl({"export", box}).out, hot.old_export);
      }
      EXPECT_EQ(Ctl({"export", box + ":BlockList"}).out, hot.blocks);
      if (args[0] == "export") {
        EXPECT_EQ(r.out, hot.old_export);
      }
      if (copied) {
        EXPECT_EQ(FileBytes(hot.box), hot_bytes);  // the original untouched
      }
    }
  }
}

// A journal that is not this container's (another container's, renamed or
// copied beside it) is never applied and never deleted: readers say so and
// read the container as it is; verify reports it; a writer that needs no
// journal writes, one that does is refused with the container unchanged.
TEST(CtlHotJournal, AnotherContainersJournalIsLeftAlone) {
  TempDir dir;
  const HotJournal hot = MakeHotJournal(dir);
  ASSERT_FALSE(hot.box.empty());
  const std::string other = Arg(dir, "other.mnf");
  ASSERT_EQ(Ctl({"import", "--no-notify", other, WriteText(dir, "o", "5 5\n6 6\n")}).rc, 0);
  const std::string other_export = Ctl({"export", other}).out;
  fs::copy_file(Utf8ToU16(hot.box + "-journal"), Utf8ToU16(other + "-journal"));
  const std::vector<uint8_t> journal = FileBytes(other + "-journal");

  const CtlResult e = Ctl({"export", other});
  EXPECT_EQ(e.rc, 0) << e.err;
  EXPECT_EQ(e.out, other_export);
  EXPECT_NE(e.err.find("is the journal of another container; it is left alone"), std::string::npos)
      << e.err;
  const CtlResult v = Ctl({"verify", "--json", other});
  EXPECT_EQ(v.rc, 1);
  EXPECT_NE(v.out.find("\"journal\": \"foreign\""), std::string::npos) << v.out;
  EXPECT_NE(v.out.find("foreign-journal"), std::string::npos) << v.out;
  const CtlResult add = Ctl({"add", "--no-notify", other, "--hash", "7", "7"});
  EXPECT_EQ(add.rc, 0) << add.err;
  EXPECT_EQ(FileBytes(other + "-journal"), journal);
}

}  // namespace
}  // namespace tl::test
