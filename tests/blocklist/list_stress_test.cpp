// Many threads on one list at once: the lock must serialize every link change
// so that afterwards the count, the chain and the key index all agree with what
// the threads did. The sanitizer preset (native-tsan) runs these too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "block_test_util.h"
#include "blocklist/spin_locker.h"
#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "entry/program_builder.h"
#include "platform/sync.h"

namespace tl {
namespace {

using test::MakeBlock;
using test::WalkFirst;

struct StressCase {
  const char* name;
  int failed_creations;  // 0: the event parks waiters; 2: the fallback flag does
  int threads;
  uint64_t per_thread;
};

class ListStress : public ::testing::TestWithParam<StressCase> {};

// Each thread adds its own keys, removes every other one and replaces some it
// kept, while all threads replace a few shared keys and keep counting and
// looking up under the lock. The end state is exact: every thread's even keys
// once (the latest copy), every shared key once.
TEST_P(ListStress, AddsReplacesAndRemovesEndExact) {
  const StressCase& c = GetParam();
  platform::AutoResetEvent::FailNextCreates(c.failed_creations);
  auto list = std::make_unique<CVarBlockList>();
  list->Lock();  // settles the mechanism before the threads start
  list->Unlock();
  platform::AutoResetEvent::FailNextCreates(0);
  constexpr uint64_t kShared = 16;
  std::atomic<int> start{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < c.threads; ++t) {
    threads.emplace_back([&, t] {
      start.fetch_add(1);
      while (start.load() < c.threads) std::this_thread::yield();
      const uint64_t base = static_cast<uint64_t>(t + 1) << 32;
      const auto id = static_cast<uint8_t>(t);
      for (uint64_t i = 0; i < c.per_thread; ++i) {
        list->AddBlock(MakeBlock(48, base + i, id));
        list->AddBlock(MakeBlock(56, i % kShared, id));
        if (i % 2 == 1) {
          EXPECT_EQ(list->RemoveByKey(base + i), 1u);
          list->AddBlock(MakeBlock(64, base + i - 1, static_cast<uint8_t>(id + 100)));
        }
        if (i % 64 == 0) {
          EXPECT_GE(list->GetCount(), 1u);
          if (uint8_t* b = list->FindAndLock(base)) {
            EXPECT_EQ(LoadU64(b, kBlockKeyOffset), base);
            list->Unlock();
          }
        }
      }
    });
  }
  for (auto& t : threads) t.join();

  const uint64_t kept = c.per_thread / 2;
  EXPECT_EQ(list->GetCount(), c.threads * kept + kShared);
  EXPECT_TRUE(list->KeyIndexActive());
  for (int t = 0; t < c.threads; ++t) {
    const uint64_t base = static_cast<uint64_t>(t + 1) << 32;
    for (uint64_t i = 0; i < c.per_thread; ++i) {
      const uint8_t* found = list->FindBlock(base + i);
      ASSERT_EQ(found, WalkFirst(*list, base + i)) << t << " " << i;
      ASSERT_EQ(found != nullptr, i % 2 == 0) << t << " " << i;
      // The replacement (size 64) won over the first copy.
      if (found != nullptr && i + 1 < c.per_thread) {
        EXPECT_EQ(LoadU32(found, kBlockSizeOffset), 64u);
      }
    }
  }
  for (uint64_t k = 0; k < kShared; ++k) {
    ASSERT_NE(list->FindBlock(k), nullptr);
    EXPECT_EQ(list->FindBlock(k), WalkFirst(*list, k));
  }
  // The chain itself is whole in both directions.
  size_t forward = 0;
  for (LinksPair* n = list->Head()->next; n != list->Head(); n = n->next) {
    ASSERT_EQ(n->next->prev, n);
    ++forward;
  }
  EXPECT_EQ(forward, list->GetCount());
}

INSTANTIATE_TEST_SUITE_P(Backings, ListStress,
                         ::testing::Values(StressCase{"Event", 0, 8, 600},
                                           StressCase{"Flag", 2, 8, 600},
                                           StressCase{"EventTwoThreads", 0, 2, 3000}),
                         [](const auto& info) { return std::string(info.param.name); });

// Program descriptions built and added from several threads at once: each
// name is listed once, whichever thread added it last.
TEST(ListStress, ConcurrentProgramAddsKeepEveryNameOnce) {
  CVarBlockList list;
  constexpr int kThreads = 6;
  constexpr int kPerThread = 150;
  constexpr int kCommon = 10;  // names every thread adds
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&list, t] {
      std::vector<uint8_t> record(kPdMinSize, 0);
      StoreU32(record.data(), kPdCbSizeOffset, kPdMinSize);
      for (int i = 0; i < kPerThread; ++i) {
        const bool common = i < kCommon;
        std::u16string path = u"C:\\p\\";
        for (char ch : (common ? "c" : "t" + std::to_string(t)) + "_" + std::to_string(i)) {
          path.push_back(static_cast<char16_t>(ch));
        }
        std::memset(record.data() + kPdPathOffset, 0, kPdPathUnits * 2);
        for (size_t k = 0; k < path.size(); ++k) {
          StoreU16(record.data(), kPdPathOffset + 2 * k, path[k]);
        }
        StoreU32(record.data(), kPdValueSingleOffset, static_cast<uint32_t>(t + 1));
        EXPECT_EQ(AddProgramTo(list, record.data()), 1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(list.GetCount(), static_cast<uint32_t>(kThreads * (kPerThread - kCommon) + kCommon));
  for (LinksPair* n = list.Head()->next; n != list.Head(); n = n->next) {
    const uint64_t key = LoadU64(CVarBlockList::BlockOfNode(n), kBlockKeyOffset);
    ASSERT_EQ(list.FindBlock(key), CVarBlockList::BlockOfNode(n)) << "a name listed twice";
  }
}

}  // namespace
}  // namespace tl
