#include "blocklist/spin_locker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/sync.h"

namespace tl {
namespace {

using Backing = CSpinLocker::Backing;

// A lock built after `failures` refused event creations, with its mechanism
// settled by one Lock/Unlock.
std::unique_ptr<CSpinLocker> MakeLock(int failures) {
  platform::AutoResetEvent::FailNextCreates(failures);
  auto lock = std::make_unique<CSpinLocker>();
  lock->Lock();
  lock->Unlock();
  platform::AutoResetEvent::FailNextCreates(0);
  return lock;
}

TEST(SpinLocker, FailedCreationIsRetriedThenFallsBack) {
  struct Case {
    int failures;
    Backing at_construction;
    Backing in_use;
  };
  for (const Case& c :
       {Case{0, Backing::kEvent, Backing::kEvent}, Case{1, Backing::kPending, Backing::kEvent},
        Case{2, Backing::kPending, Backing::kFlag}}) {
    SCOPED_TRACE(c.failures);
    platform::AutoResetEvent::FailNextCreates(c.failures);
    CSpinLocker lock;
    EXPECT_EQ(lock.backing(), c.at_construction);
    lock.Lock();
    EXPECT_EQ(lock.backing(), c.in_use);
    lock.Unlock();
    platform::AutoResetEvent::FailNextCreates(0);
  }
}

class SpinLockerBacking : public ::testing::TestWithParam<int> {};

TEST_P(SpinLockerBacking, ExcludesOtherThreads) {
  auto lock = MakeLock(GetParam());
  constexpr int kThreads = 4;
  constexpr int kRounds = 5000;
  int counter = 0;  // deliberately not atomic: the lock alone protects it
  int inside = 0;
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        lock->Lock();
        if (++inside != 1) overlap = true;
        ++counter;
        --inside;
        lock->Unlock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(counter, kThreads * kRounds);
}

TEST_P(SpinLockerBacking, HeldLockBlocksAndAnyThreadMayRelease) {
  auto lock = MakeLock(GetParam());
  lock->Lock();
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    lock->Lock();
    acquired = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(acquired.load());
  std::thread releaser([&] { lock->Unlock(); });  // not the thread that locked
  releaser.join();
  waiter.join();
  EXPECT_TRUE(acquired.load());
  lock->Unlock();  // released by the main thread, though the waiter took it
}

// Releasing a free lock must not hand out a second permit later: after extra
// Unlocks the lock still admits one holder at a time, and a Lock still succeeds.
TEST_P(SpinLockerBacking, UnlockOfAFreeLockAddsNoPermit) {
  auto lock = MakeLock(GetParam());
  lock->Unlock();
  lock->Unlock();
  std::atomic<int> stage{0};
  std::thread first([&] {
    lock->Lock();
    stage = 1;
  });
  for (int i = 0; i < 200 && stage.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(stage.load(), 1) << "a Lock after extra Unlocks did not return";
  first.join();
  std::thread second([&] {
    lock->Lock();
    stage = 2;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(stage.load(), 1) << "two holders at once";
  lock->Unlock();
  second.join();
  EXPECT_EQ(stage.load(), 2);
  lock->Unlock();
}

INSTANTIATE_TEST_SUITE_P(EventAndFlag, SpinLockerBacking, ::testing::Values(0, 2),
                         [](const auto& info) { return info.param == 0 ? "Event" : "Flag"; });

}  // namespace
}  // namespace tl
