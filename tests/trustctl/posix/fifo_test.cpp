// trustctl's inputs through a real FIFO (as a pipe, /dev/stdin or process
// substitution delivers them): the same fingerprints and the same stored list
// as from a regular file; a read error writes nothing and prints no line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <thread>

#include "common/u16.h"
#include "ctl_test_util.h"
#include "fingerprint/file_fingerprint.h"
#include "trustctl.h"

namespace tl::test {
namespace {

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
  return v;
}

// Runs trustctl with `fifo` fed `bytes` by a writer thread.
CtlResult CtlWithFifo(const std::string& fifo, const std::vector<uint8_t>& bytes,
                      const std::vector<std::string>& args) {
  std::thread writer([&] {
    std::FILE* f = std::fopen(fifo.c_str(), "wb");
    if (f == nullptr) return;
    // Small pieces, so that the reader meets short reads.
    for (size_t at = 0; at < bytes.size(); at += 1000) {
      std::fwrite(bytes.data() + at, 1, std::min<size_t>(1000, bytes.size() - at), f);
      std::fflush(f);
    }
    std::fclose(f);
  });
  CtlResult r = Ctl(args);
  writer.join();
  return r;
}

TEST(CtlFifo, HashAndImportReadPipesAsFiles) {
  TempDir dir;
  const std::string fifo = Arg(dir, "fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Around the whole-file limit and well past the ring of the last piece.
  for (size_t n : {size_t{0}, size_t{3}, size_t{8191}, size_t{8192}, size_t{8193}, size_t{70001}}) {
    const std::vector<uint8_t> content = Pattern(n);
    WriteAll(dir.path() / "regular", content);
    const CtlResult file = Ctl({"hash", Arg(dir, "regular")});
    const CtlResult pipe = CtlWithFifo(fifo, content, {"hash", fifo});
    EXPECT_EQ(pipe.rc, ctl::kExitOk) << n << pipe.err;
    EXPECT_EQ(pipe.out, file.out) << n;
    const uint64_t fp = ComputeFileFingerprint(dir.File("regular").c_str());
    char line[32];
    std::snprintf(line, sizeof line, "%08x %08x\n", static_cast<unsigned>(fp >> 32),
                  static_cast<unsigned>(fp));
    EXPECT_EQ(pipe.out, line) << n;
  }
  std::string list;
  for (int i = 1; i <= 500; ++i) list += std::to_string(i) + " " + std::to_string(i * 7) + "\n";
  const std::string text_path = WriteText(dir, "list.txt", list);
  ASSERT_EQ(Ctl({"import", Arg(dir, "a.mnf"), "--stream", "ProgramList", text_path}).rc, 0);
  const CtlResult imp = CtlWithFifo(fifo, std::vector<uint8_t>(list.begin(), list.end()),
                                    {"import", Arg(dir, "b.mnf"), "--stream", "ProgramList", fifo});
  EXPECT_EQ(imp.rc, ctl::kExitOk) << imp.err;
  EXPECT_EQ(StreamPayload(Arg(dir, "b.mnf"), u"ProgramList"),
            StreamPayload(Arg(dir, "a.mnf"), u"ProgramList"));
  EXPECT_EQ(StreamPayload(Arg(dir, "b.mnf"), u"ProgramList").size(), 16u + 500 * 200 + 4);
}

TEST(CtlFifo, AReadErrorPrintsNoLine) {
  // Reading /proc/self/mem at offset 0 fails with EIO: a real read error.
  if (!std::filesystem::exists("/proc/self/mem")) GTEST_SKIP() << "no /proc";
  TempDir dir;
  WriteAll(dir.path() / "ok", Pattern(10));
  const CtlResult r = Ctl({"hash", "/proc/self/mem", Arg(dir, "ok")});
  EXPECT_EQ(r.rc, ctl::kExitFailure);
  EXPECT_NE(r.err.find("/proc/self/mem: read error"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, Ctl({"hash", Arg(dir, "ok")}).out);  // only the readable file's line
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"import", box, "--stream", "ProgramList", WriteText(dir, "l", "1 1\n")}).rc, 0);
  const std::vector<uint8_t> before = FileBytes(box);
  const CtlResult imp = Ctl({"import", box, "--stream", "ProgramList", "/proc/self/mem"});
  EXPECT_EQ(imp.rc, ctl::kExitFailure);
  EXPECT_NE(imp.err.find("read error"), std::string::npos) << imp.err;
  EXPECT_EQ(FileBytes(box), before);
}

}  // namespace
}  // namespace tl::test
