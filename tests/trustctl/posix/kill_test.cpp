// trustctl import killed outright (SIGKILL, no chance to clean up) at moments
// spread over the whole run, in the case where the new list fits only by
// reusing the blocks of the one it replaces: after the next open the stream is
// the older list or the newer one, the other stream byte for byte as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "child_process.h"
#include "common/u16.h"
#include "ctl_test_util.h"
#include "minifile/container_reader.h"
#include "minifile/journal.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;

std::string HashLines(uint32_t first, uint32_t count) {
  std::string text;
  char line[32];
  for (uint32_t i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line, "%x %x\n", 1000 + first + i, (first + i) * 2654435761u);
    text += line;
  }
  return text;
}

TEST(CtlKill, ImportKilledAnywhereLeavesTheOlderOrTheNewerList) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  // Two lists of 80,000 entries (16 MB each): the container's 30 blocks hold
  // one and a half of them, so the second reuses blocks of the first.
  const std::string old_list = WriteText(dir, "old.txt", HashLines(0, 80000));
  const std::string new_list = WriteText(dir, "new.txt", HashLines(500000, 80000));
  const std::string blocked = WriteText(dir, "blocked.txt", HashLines(900000, 50));
  ASSERT_EQ(Ctl({"import", box, "--stream", "BlockList", blocked}).rc, 0);
  ASSERT_EQ(Ctl({"import", box, "--stream", "ProgramList", old_list, "--new-stream"}).rc, 0);
  const std::vector<uint8_t> base = FileBytes(box);
  const std::vector<uint8_t> before = StreamPayload(box, u"ProgramList");
  const std::vector<uint8_t> block_list = StreamPayload(box, u"BlockList");
  const std::vector<std::string> args = {"import", box, "--stream", "ProgramList", new_list};

  // How long one whole run takes here, to spread the kills over it: the
  // shorter of two runs, so that a first run slowed by cold caches or a busy
  // machine does not push most kills past the end of the later ones.
  auto whole_run = [&]() {
    WriteAll(fs::path(Utf8ToU16(box)), base);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t timed = StartTrustctl(args);
    int status = 0;
    EXPECT_EQ(waitpid(timed, &status, 0), timed);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return std::chrono::steady_clock::now() - t0;
  };
  const auto run = std::min(whole_run(), whole_run());
  int status = 0;
  const std::vector<uint8_t> after = StreamPayload(box, u"ProgramList");
  ASSERT_FALSE(after.empty());
  ASSERT_NE(after, before);

  const fs::path journal = fs::path(Utf8ToU16(box) + u"-journal");
  constexpr int kTries = 24;
  int interrupted = 0;
  for (int k = 0; k < kTries; ++k) {
    SCOPED_TRACE("kill " + std::to_string(k));
    WriteAll(fs::path(Utf8ToU16(box)), base);
    fs::remove(journal);
    const pid_t pid = StartTrustctl(args);
    // Up to five sixths of the shorter run: a run can be quicker than both
    // timed ones on a busy machine, and a kill after its end tests nothing.
    std::this_thread::sleep_for(run * 5 * (k + 1) / (6 * kTries));
    kill(pid, SIGKILL);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFSIGNALED(status)) ++interrupted;

    ASSERT_TRUE(RecoverContainer(Utf8ToU16(box).c_str()));
    EXPECT_FALSE(fs::exists(journal));
    ContainerReader reader;
    ASSERT_TRUE(reader.Open(Utf8ToU16(box).c_str()));
    EXPECT_TRUE(reader.Verify().empty());
    const std::vector<uint8_t> now = StreamPayload(box, u"ProgramList");
    EXPECT_TRUE(now == before || now == after) << now.size() << " bytes";
    EXPECT_EQ(StreamPayload(box, u"BlockList"), block_list);
  }
  std::cout << "trustctl import killed " << interrupted << " of " << kTries << " times\n";
  // Kills spread up to the length of a whole run: most land inside it.
  EXPECT_GT(interrupted, kTries / 2);
}

}  // namespace
}  // namespace tl::test
