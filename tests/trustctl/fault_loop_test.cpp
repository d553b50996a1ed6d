// trustctl's editing roads (import, add, remove) with the n-th allocation, and
// the n-th read, write or flush of any container or journal file failing, once
// and from then on, for n = 1, 2, ... until the road completes without meeting
// the fault. In every case: exit 0 or 2 (never a crash or another code), and
// after the next open (the recovery) a sound container whose edited stream is
// the older one or, when 0 was reported, the new one, and whose other stream
// is byte for byte as it was. The container is small, so the new stream only
// fits by reusing the blocks of the one it replaces (the journaled write).
#include <gtest/gtest.h>

#include <iostream>

#include "common/u16.h"
#include "common/zalloc.h"
#include "ctl_test_util.h"
#include "entry/list_store.h"
#include "minifile/container_reader.h"
#include "minifile/creation_parameters.h"
#include "minifile/journal.h"
#include "minifile/minifile.h"
#include "platform/fault_hook.h"
#include "trustctl.h"

namespace tl::test {
namespace {

std::string Lines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += std::to_string(i) + " 7\n";
  return s;
}

enum class Fault { kAlloc, kRead, kWrite, kFlush };

struct Road {
  const char* name;
  std::vector<std::string> args;  // after the container argument
};

TEST(CtlFaultLoop, EditsLeaveTheOlderOrTheReportedStream) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  const std::string journal = box + "-journal";
  // 1 KiB blocks, 14 data blocks: BlockList takes 1, ProgramList (40 entries) 8.
  {
    ListStore store;
    ASSERT_EQ(store.Open(Utf8ToU16(box).c_str(), CreationParameters{20, 1024, 16, 4, 0}),
              StoreStatus::kOk);
  }
  ASSERT_EQ(Ctl({"import", box + ":BlockList", WriteText(dir, "b", Lines(900, 902))}).rc, 0);
  ASSERT_EQ(Ctl({"import", box, WriteText(dir, "old", Lines(1, 40)), "--new-stream"}).rc, 0);
  const std::vector<uint8_t> base = FileBytes(box);
  const std::vector<uint8_t> old_list = StreamPayload(box, u"ProgramList");
  const std::vector<uint8_t> block_list = StreamPayload(box, u"BlockList");
  const std::string bigger = WriteText(dir, "new", Lines(1, 50));  // 10 blocks: reuses 5

  const Road roads[] = {
      {"import", {bigger}},
      {"add", {"--path", "C:\\x\\app.exe", "--text1", "t", "--hash", "77", "88"}},
      {"remove", {"0000000300000007.*", "0000000400000007.*"}},
  };
  const Fault faults[] = {Fault::kAlloc, Fault::kRead, Fault::kWrite, Fault::kFlush};
  uint64_t points = 0;
  for (const Road& road : roads) {
    std::vector<std::string> args = {road.name, box};
    args.insert(args.end(), road.args.begin(), road.args.end());
    WriteAll(std::filesystem::path(Utf8ToU16(box)), base);
    ASSERT_EQ(Ctl(args).rc, 0) << road.name;
    const std::vector<uint8_t> new_list = StreamPayload(box, u"ProgramList");
    ASSERT_NE(new_list, old_list);
    for (Fault fault : faults) {
      for (bool persistent : {false, true}) {
        for (uint64_t n = 1;; ++n) {
          SCOPED_TRACE(std::string(road.name) + " fault " + std::to_string(int(fault)) +
                       (persistent ? " persistent" : " once") + " n=" + std::to_string(n));
          WriteAll(std::filesystem::path(Utf8ToU16(box)), base);
          std::filesystem::remove(std::filesystem::path(Utf8ToU16(journal)));
          bool met = false;
          CtlResult r;
          if (fault == Fault::kAlloc) {
            const uint64_t before = AllocCallCount();
            SetAllocFailureAt(n, persistent);
            r = Ctl(args);
            SetAllocFailureAt(0);
            met = AllocCallCount() - before >= n;
          } else {
            platform::IoFaultPlan plan{fault == Fault::kRead    ? platform::IoOp::kRead
                                       : fault == Fault::kWrite ? platform::IoOp::kWrite
                                                                : platform::IoOp::kFlush,
                                       n, persistent};
            {
              platform::IoFaultScope scope(&plan);
              r = Ctl(args);
            }
            met = plan.failed != 0;
          }
          ASSERT_TRUE(r.rc == ctl::kExitOk || r.rc == ctl::kExitFailure) << r.rc << r.err;
          if (r.rc == ctl::kExitFailure) {
            EXPECT_FALSE(r.err.empty());
            // Nothing reads as done: no report of lines, entries or a write.
            EXPECT_EQ(r.out, "");
          }
          // The next open: what the library would see.
          ASSERT_TRUE(RecoverContainer(Utf8ToU16(box).c_str()));
          ContainerReader reader;
          ASSERT_TRUE(reader.Open(Utf8ToU16(box).c_str()));
          EXPECT_TRUE(reader.Verify().empty());
          const std::vector<uint8_t> now = StreamPayload(box, u"ProgramList");
          if (r.rc == ctl::kExitOk) {
            EXPECT_EQ(now, new_list);
          } else {
            EXPECT_TRUE(now == old_list || now == new_list);
            // A message that promises the older stream is true.
            if (r.err.find("the older stream stays") != std::string::npos) {
              EXPECT_EQ(now, old_list) << r.err;
            }
          }
          EXPECT_EQ(StreamPayload(box, u"BlockList"), block_list);
          if (!met) break;
          ++points;
        }
      }
    }
  }
  std::cout << "trustctl fault loop: " << points << " injection points\n";
  EXPECT_GT(points, 100u);
}

}  // namespace
}  // namespace tl::test
