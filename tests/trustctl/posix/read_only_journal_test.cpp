// A reader that may not write the container (a read-only file in a read-only
// folder) meets an interrupted replacement: it shows the state the rollback
// leaves, from memory, says that the journal stays, and changes nothing; the
// next command that may write rolls it back for good.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "common/u16.h"
#include "ctl_test_util.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;

// Runs `args` without the right to write `dir` or its files: as the user
// nobody when this process is root (who may write anything), else with the
// write bits taken away.
CtlResult CtlReadOnly(const TempDir& dir, const std::vector<std::string>& args) {
  for (const auto& e : fs::directory_iterator(dir.path())) ::chmod(e.path().c_str(), 0444);
  ::chmod(dir.path().c_str(), 0555);
  CtlResult r;
  if (::geteuid() != 0) {
    r = Ctl(args);
  } else {
    int pipe_fds[2];
    EXPECT_EQ(::pipe(pipe_fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipe_fds[0]);
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(99);
      const CtlResult c = Ctl(args);
      const std::string packed =
          std::to_string(c.rc) + '\n' + std::to_string(c.out.size()) + '\n' + c.out + c.err;
      for (size_t at = 0; at < packed.size();) {
        const ssize_t n = ::write(pipe_fds[1], packed.data() + at, packed.size() - at);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
      _exit(0);
    }
    ::close(pipe_fds[1]);
    std::string packed;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) packed.append(buf, n);
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const size_t a = packed.find('\n');
    const size_t b = packed.find('\n', a + 1);
    if (a != std::string::npos && b != std::string::npos) {
      r.rc = std::stoi(packed.substr(0, a));
      const size_t out_size = std::stoul(packed.substr(a + 1, b - a - 1));
      r.out = packed.substr(b + 1, out_size);
      r.err = packed.substr(b + 1 + out_size);
    }
  }
  ::chmod(dir.path().c_str(), 0755);
  for (const auto& e : fs::directory_iterator(dir.path())) ::chmod(e.path().c_str(), 0644);
  return r;
}

TEST(CtlHotJournal, AReaderThatMayNotWriteShowsTheRollbackFromMemory) {
  TempDir dir;
  HotJournal hot = MakeHotJournal(dir);
  ASSERT_FALSE(hot.box.empty());
  // The hash lists stay readable; only the container and its journal matter.
  const std::vector<uint8_t> torn = FileBytes(hot.box);
  const std::vector<uint8_t> journal = FileBytes(hot.box + "-journal");

  const CtlResult e = CtlReadOnly(dir, {"export", hot.box});
  EXPECT_EQ(e.rc, 0) << e.err;
  EXPECT_EQ(e.out, hot.old_export);
  EXPECT_NE(e.err.find("is shown rolled back to the older stream"), std::string::npos) << e.err;
  const CtlResult v = CtlReadOnly(dir, {"verify", hot.box});
  EXPECT_EQ(v.rc, 1);  // the journal that stays is reported
  EXPECT_NE(v.out.find("interrupted-replacement"), std::string::npos) << v.out;
  EXPECT_EQ(v.out.find("payload"), std::string::npos) << v.out;  // nothing torn is judged
  EXPECT_EQ(FileBytes(hot.box), torn);
  EXPECT_EQ(FileBytes(hot.box + "-journal"), journal);

  // With the right to write, the next reader rolls it back for good.
  const CtlResult again = Ctl({"export", hot.box});
  EXPECT_EQ(again.out, hot.old_export);
  EXPECT_FALSE(fs::exists(Utf8ToU16(hot.box + "-journal")));
}

}  // namespace
}  // namespace tl::test
