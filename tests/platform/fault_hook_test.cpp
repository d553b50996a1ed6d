// The I/O fault seam: which call fails, for how long, and what is counted.
#include "platform/fault_hook.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/file.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using platform::IoOp;

// Makes 4 calls of each kind on a real file; returns which of them failed, in
// the order read, write, flush per round.
std::vector<bool> RunCalls(platform::File* f) {
  std::vector<bool> failed;
  char buf[4] = {'a', 'b', 'c', 'd'};
  for (int round = 0; round < 4; ++round) {
    uint32_t done = 0;
    failed.push_back(!f->ReadAt(0, buf, 4, &done));
    failed.push_back(!f->WriteAt(0, buf, 4, &done));
    failed.push_back(!f->Flush());
  }
  return failed;
}

TEST(IoFaultHook, FailsTheChosenCallOnceOrFromThereOn) {
  test::TempDir dir;
  auto f = platform::OpenContainerFile(dir.File("f").c_str());
  ASSERT_NE(f, nullptr);
  struct Case {
    IoOp op;
    uint64_t at;
    bool persistent;
    std::vector<int> failing;  // indices into RunCalls' result
    uint64_t failed;
  };
  const Case cases[] = {
      {IoOp::kRead, 1, false, {0}, 1},
      {IoOp::kWrite, 3, false, {7}, 1},
      {IoOp::kFlush, 2, true, {5, 8, 11}, 3},
      {IoOp::kRead, 5, false, {}, 0},  // beyond the calls made: never met
      {IoOp::kWrite, 0, true, {}, 0},  // 0 arms nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.op) << " at " << c.at << " p " << c.persistent);
    platform::IoFaultPlan plan{c.op, c.at, c.persistent};
    std::vector<bool> failed;
    {
      platform::IoFaultScope scope(&plan);
      failed = RunCalls(f.get());
    }
    std::vector<bool> expected(12, false);
    for (int i : c.failing) expected[i] = true;
    EXPECT_EQ(failed, expected);
    EXPECT_EQ(plan.failed, c.failed);
    for (int op = 0; op < platform::kIoOpCount; ++op) EXPECT_EQ(plan.calls[op], 4u);
  }
  // Disarmed again once the scope is gone: nothing fails.
  EXPECT_EQ(RunCalls(f.get()), std::vector<bool>(12, false));
}

}  // namespace
}  // namespace tl
