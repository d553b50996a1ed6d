// POSIX paths are bytes: a file name that is not UTF-8 is read, hashed, tested
// and written as the file it names, and shown with its odd bytes escaped; a
// walk over a tree reports what it cannot read and goes on. Only regular
// files are containers, and a failed write to standard output is reported.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "common/u16.h"
#include "ctl_test_util.h"
#include "fingerprint/file_fingerprint.h"
#include "trustctl.h"

namespace tl::test {
namespace {

using ctl::kExitFailure;
using ctl::kExitOk;
using ctl::kExitUsage;

const std::string kOdd = "caf\xE9";  // Latin-1, not UTF-8

TEST(CtlPathBytes, NamesThatAreNotUtf8NameTheirOwnFiles) {
  TempDir dir;
  const std::string root = dir.path().native();
  std::filesystem::create_directories(root + "/tree/sub");
  const std::string odd_file = root + "/tree/" + kOdd + ".exe";
  WriteAll(odd_file, PeImage(7, 3000));
  WriteAll(root + "/tree/sub/ok.exe", PeImage(8, 3000));
  ASSERT_EQ(symlink((root + "/gone").c_str(), (root + "/tree/broken").c_str()), 0);
  const std::string box = root + "/c.mnf";
  ASSERT_EQ(Ctl({"import", box, WriteText(dir, "h", "1 1\n")}).rc, kExitOk);
  ASSERT_EQ(Ctl({"add", box, "--path", kOdd + ".exe", "--fingerprint-file", odd_file}).rc, kExitOk);
  const std::string odd_copy = root + "/" + kOdd + ".mnf";
  std::filesystem::copy_file(box, odd_copy);

  struct Row {
    const char* name;
    std::vector<std::string> args;
    int rc;
    std::vector<std::string> out;  // texts the output holds
    std::string err;
  } rows[] = {
      {"hash goes on past a broken link",
       {"hash", "-r", "--names", root + "/tree"},
       kExitFailure,
       {"/tree/caf\\xe9.exe\n", "/tree/sub/ok.exe\n"},
       "broken: cannot be read"},
      {"test finds the file",
       {"test", box, odd_file},
       kExitOk,
       {"caf\\xe9.exe:", "  allowed\n"},
       ""},
      {"verify reads the container", {"verify", odd_copy}, kExitOk, {"caf\\xe9.mnf: ok"}, ""},
      {"lint walks the tree",
       {"lint", "--against", root + "/tree", box},
       kExitFailure,
       {},
       "broken"},
      {"export writes that very name",
       {"export", "-o", root + "/" + kOdd + ".jsonl", box},
       kExitOk,
       {},
       ""},
      {"add writes into that very container",
       {"add", odd_copy, "--hash", "2", "2"},
       kExitOk,
       {"caf\\xe9.mnf: 3 blocks"},
       ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const CtlResult r = Ctl(row.args);
    EXPECT_EQ(r.rc, row.rc) << r.out << r.err;
    for (const std::string& text : row.out) {
      EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    }
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
  }
  // The hash line of the odd name is that file's fingerprint.
  const uint64_t fp = ComputeFileFingerprint(Utf8ToU16(odd_file).c_str());
  char line[32];
  std::snprintf(line, sizeof line, "%08x %08x", static_cast<unsigned>(fp >> 32),
                static_cast<unsigned>(fp));
  EXPECT_NE(Ctl({"hash", odd_file}).out.find(line), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(root + "/" + kOdd + ".jsonl"));
  EXPECT_FALSE(std::filesystem::exists(root + "/caf\xEF\xBF\xBD.jsonl"));  // no U+FFFD name
}

// A colon belongs to an existing file's name (Windows names hold none, so this
// lives with the POSIX tests).
TEST(CtlPathBytes, AColonInAnExistingNameIsPartOfIt) {
  TempDir dir;
  const std::string named = Arg(dir, "has:colon.mnf");
  ASSERT_EQ(Ctl({"import", Arg(dir, "plain.mnf"), WriteText(dir, "h", "4 4\n")}).rc, kExitOk);
  std::filesystem::rename(dir.path() / "plain.mnf", dir.path() / "has:colon.mnf");
  const CtlResult add = Ctl({"add", named, "--hash", "9", "9"});
  ASSERT_EQ(add.rc, kExitOk) << add.err;
  EXPECT_NE(add.out.find("has:colon.mnf: 2 blocks (1 kept)"), std::string::npos) << add.out;
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "has"));
  EXPECT_EQ(Ctl({"export", "--format", "hashlist", named}).out,
            "00000004 00000004\n00000009 00000009\n");
  // Its stream may still be named; a missing name with two colons is unclear.
  EXPECT_EQ(Ctl({"add", named + ":BlockList", "--hash", "9", "9", "--new-stream"}).rc, kExitOk);
  EXPECT_EQ(Ctl({"import", Arg(dir, "new:colon.mnf:BlockList"), Arg(dir, "h")}).rc, kExitUsage);
  EXPECT_EQ(Ctl({"import", Arg(dir, "new:colon.mnf"), Arg(dir, "h")}).rc, kExitFailure);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "new"));
}

TEST(CtlPathBytes, OnlyRegularFilesAreContainers) {
  TempDir dir;
  const std::string fifo = dir.path().native() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string list = WriteText(dir, "h", "1 1\n");
  // Each would wait for ever for a writer if it opened the FIFO.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"verify", fifo},
                                               {"dump", fifo},
                                               {"add", fifo, "--hash", "1", "1"},
                                               {"import", fifo, list},
                                               {"test", fifo, list},
                                               {"verify", "/dev/null"},
                                               {"verify", dir.path().native()}}) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    const CtlResult r = Ctl(args);
    EXPECT_EQ(r.rc, kExitFailure);
    // Readers name the system's reason; a writer's open refuses it as such.
    const bool writes = args[0] == "add" || args[0] == "import";
    EXPECT_NE(r.err.find(writes ? "not a regular file" : "cannot open the container for reading: "),
              std::string::npos)
        << r.err;
  }
  // An output that is a FIFO is written, never replaced by a regular file.
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"import", box, list}).rc, kExitOk);
  std::string got;
  std::thread reader([&] {
    std::ifstream in(fifo, std::ios::binary);
    got.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  });
  const CtlResult to_fifo = Ctl({"export", "-o", fifo, box});
  reader.join();
  EXPECT_EQ(to_fifo.rc, kExitOk) << to_fifo.err;
  EXPECT_EQ(got, Ctl({"export", box}).out);
  struct stat st {};
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_NE(Ctl({"verify", dir.path().native() + "/missing"}).err.find("No such file or directory"),
            std::string::npos);
  EXPECT_NE(Ctl({"verify", dir.path().native()}).err.find("Is a directory"), std::string::npos);
}

TEST(CtlPathBytes, AFailedWriteToStandardOutputIsReported) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"import", box, WriteText(dir, "h", "1 1\n")}).rc, kExitOk);
  const std::string err = Arg(dir, "err.txt");
  const std::string command =
      std::string(TL_TRUSTCTL_PATH) + " export '" + box + "' > /dev/full 2> '" + err + "'";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kExitFailure);
  const std::vector<uint8_t> text = FileBytes(err);
  EXPECT_NE(std::string(text.begin(), text.end()).find("standard output: write error: No space"),
            std::string::npos);
}

}  // namespace
}  // namespace tl::test
