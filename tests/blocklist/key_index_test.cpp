#include "blocklist/key_index.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "block_test_util.h"
#include "blocklist/var_block_list.h"
#include "platform/sync.h"

namespace tl {
namespace {

using test::Ids;
using test::MakeBlock;
using test::WalkFirst;

void ExpectAgreesWithWalk(CVarBlockList& list, uint64_t key) {
  ASSERT_EQ(list.FindBlock(key), WalkFirst(list, key)) << "key " << key;
}

uint8_t* MakeTagged(uint64_t key, uint8_t id) {
  uint8_t* b = MakeBlock(48 + (id % 3) * 8, key, id);
  StoreU16(b, kBlockLoadedTagOffset, kLoadedTag);
  return b;
}

LinksPair* NthNode(CVarBlockList& list, size_t n) {
  LinksPair* p = list.Head()->next;
  while (n-- > 0 && p != list.Head()) p = p->next;
  return p;
}

int32_t ByKey(uint64_t, LinksPair* a, LinksPair* b) {
  const uint64_t ka = KeyIndex::KeyOfNode(a);
  const uint64_t kb = KeyIndex::KeyOfNode(b);
  return ka > kb ? 1 : (ka < kb ? -1 : 0);
}

// By id, descending (context 0) or ascending (context 1): reorders blocks
// that share a key.
int32_t ByIdDescending(uint64_t ascending, LinksPair* a, LinksPair* b) {
  const int32_t d =
      test::IdOf(CVarBlockList::BlockOfNode(b)) - test::IdOf(CVarBlockList::BlockOfNode(a));
  return ascending != 0 ? -d : d;
}

// Every link operation, with duplicates, sorts, emptying and injected
// allocation failures: the index must answer exactly as the walk does.
TEST(KeyIndex, RandomOperationsAgreeWithTheWalk) {
  std::mt19937 rng(20240601);
  auto owned = std::make_unique<CVarBlockList>();
  CVarBlockList other;
  int fallbacks = 0;
  uint8_t id = 0;
  for (int step = 0; step < 4000; ++step) {
    if (step % 800 == 0) owned = std::make_unique<CVarBlockList>();  // the table grows anew
    CVarBlockList& list = *owned;
    const uint64_t key_range = step % 1000 < 500 ? 16 : 400;  // duplicates, then growth
    const uint64_t key = rng() % key_range;
    const size_t count = test::Ids(list).size();
    uint8_t* fresh = MakeTagged(key, ++id);
    std::vector<uint8_t> serialized;
    if (rng() % 20 == 0) {
      CVarBlockList scratch;
      for (int i = 0; i < 5; ++i)
        scratch.AddTail(CVarBlockList::NodeOfBlock(MakeTagged(rng() % key_range, ++id)));
      serialized.resize(scratch.ExportTo(nullptr, 0));
      scratch.ExportTo(serialized.data(), static_cast<uint32_t>(serialized.size()));
    }
    const uint32_t op = serialized.empty() ? rng() % 14 : 14;
    // Linking allocates only for the index (growth, rebuild): fail it often.
    // Elsewhere a failure may hit a block copy instead.
    if (op <= 7 && rng() % 3 == 0) SetAllocFailureAt(1);
    if (op > 7 && rng() % 10 == 0) SetAllocFailureAt(1 + rng() % 3);

    LinksPair* const node = CVarBlockList::NodeOfBlock(fresh);
    LinksPair* const some = NthNode(list, count == 0 ? 0 : rng() % count);
    LinksPair* removed = nullptr;
    switch (op) {
      case 0:
      case 1:
      case 2:
        list.AddBlock(fresh);
        fresh = nullptr;
        break;
      case 3:
        list.RemoveByKey(key);
        break;
      case 4:
        list.AddHead(node);
        fresh = nullptr;
        break;
      case 5:
        list.AddTail(node);
        fresh = nullptr;
        break;
      case 6:
        if (count) {
          list.InsertAfter(some, node);
          fresh = nullptr;
        }
        break;
      case 7:
        if (count) {
          list.InsertBefore(some, node);
          fresh = nullptr;
        }
        break;
      case 8:
        removed = list.RemoveHead();
        break;
      case 9:
        removed = list.RemoveTail();
        break;
      case 10:
        if (count) {
          list.RemoveNode(some);
          removed = some;
        }
        break;
      case 11:
        if (count) {
          list.Lock();
          list.RemoveNodeNoLock(some);
          list.Unlock();
          removed = some;
        }
        break;
      case 12:
        if (rng() % 4 == 0)
          list.Sort(rng() % 2 ? ByKey : ByIdDescending, rng() % 2);
        else if (count < 60)
          list.LoadFromChain(list.Head());
        else if (rng() % 3 == 0)
          list.RemoveAll();
        break;
      case 13:
        if (rng() % 2) {
          other.AddBlock(fresh);
          fresh = nullptr;
        } else
          list.MergeFrom(other);
        break;
      case 14:
        list.LoadFromBuffer(serialized.data(), 0);
        break;
    }
    SetAllocFailureAt(0);
    if (removed != nullptr && removed != list.Head()) list.FreeNode(removed);
    std::free(fresh);
    fallbacks += list.KeyIndexActive() ? 0 : 1;

    ExpectAgreesWithWalk(list, key);
    for (int i = 0; i < 8; ++i) ExpectAgreesWithWalk(list, rng() % key_range);
    if (step % 250 == 0) {
      for (uint64_t k = 0; k < 400; ++k) ExpectAgreesWithWalk(list, k);
    }
    if (HasFatalFailure()) return;
  }
  // The injected failures must have made the list walk for a while, and the
  // index must have come back.
  EXPECT_GT(fallbacks, 0);
  EXPECT_TRUE(owned->KeyIndexActive());
}

TEST(KeyIndex, GrowthFailureFallsBackToTheWalkAndRecovers) {
  CVarBlockList list;
  for (uint64_t k = 0; k < 44; ++k) list.AddBlock(MakeBlock(48, k, 1));
  EXPECT_TRUE(list.KeyIndexActive());
  uint8_t* block = MakeBlock(48, 44, 2);
  SetAllocFailureAt(1);  // the table's growth
  list.AddBlock(block);
  SetAllocFailureAt(0);
  EXPECT_FALSE(list.KeyIndexActive());
  for (uint64_t k = 0; k < 46; ++k) ExpectAgreesWithWalk(list, k);
  list.AddBlock(MakeBlock(48, 3, 3));  // replacement found by the walk
  EXPECT_EQ(Ids(list).back(), 3);
  EXPECT_EQ(Ids(list).size(), 45u);

  // Rebuilt once as many links have passed as the list holds.
  for (uint64_t k = 100; k < 150 && !list.KeyIndexActive(); ++k) {
    list.AddBlock(MakeBlock(48, k, 4));
  }
  EXPECT_TRUE(list.KeyIndexActive());
  for (uint64_t k = 0; k < 160; ++k) ExpectAgreesWithWalk(list, k);
}

TEST(KeyIndex, NoMemoryAtConstructionThenRebuiltOrResetByRemoveAll) {
  SetAllocFailureAt(1);
  CVarBlockList list;
  SetAllocFailureAt(0);
  EXPECT_FALSE(list.KeyIndexActive());
  list.AddBlock(MakeBlock(48, 1, 1));
  list.AddBlock(MakeBlock(48, 1, 2));
  EXPECT_EQ(Ids(list), (std::vector<int>{2}));
  list.RemoveAll();
  EXPECT_TRUE(list.KeyIndexActive());
  list.AddBlock(MakeBlock(48, 1, 3));
  ExpectAgreesWithWalk(list, 1);
}

TEST(KeyIndex, DuplicatesResolveToTheFirstFromTheHead) {
  CVarBlockList list;
  list.AddBlock(MakeTagged(1, 1));
  list.AddBlock(MakeTagged(2, 2));
  list.LoadFromChain(list.Head());  // [1 2 1' 2']
  uint8_t* third = list.FindBlock(1);
  EXPECT_EQ(test::IdOf(third), 1);
  list.InsertBefore(list.Head()->next, CVarBlockList::NodeOfBlock(MakeBlock(48, 2, 9)));
  EXPECT_EQ(test::IdOf(list.FindBlock(2)), 9);
  std::free(CVarBlockList::BlockOfNode(list.RemoveHead()));  // block 9, handed back
  EXPECT_EQ(test::IdOf(list.FindBlock(2)), 2);
  list.RemoveByKey(1);  // the first 1 goes; the copy is next
  ExpectAgreesWithWalk(list, 1);
  EXPECT_EQ(Ids(list), (std::vector<int>{2, 1, 2}));
  list.FindBlock(2)[test::kIdOffset] = 5;  // ids [5 1 2], keys [2 1 2]
  list.Sort(ByIdDescending, 1);            // ascending: ids [1 2 5]
  EXPECT_EQ(Ids(list), (std::vector<int>{1, 2, 5}));
  EXPECT_EQ(test::IdOf(list.FindBlock(2)), 2);
  list.Sort(ByIdDescending, 0);  // ids [5 2 1]
  EXPECT_EQ(test::IdOf(list.FindBlock(2)), 5);
  list.RemoveByKey(2);
  EXPECT_EQ(test::IdOf(list.FindBlock(2)), 2);
}

TEST(KeyIndex, KeyChangedInPlaceIsNotReportedStale) {
  CVarBlockList list;
  list.AddBlock(MakeBlock(48, 1, 1));
  StoreU64(list.FindBlock(1), kBlockKeyOffset, 7);
  EXPECT_EQ(list.FindBlock(1), nullptr);
}

class ListConcurrency : public ::testing::TestWithParam<int> {};

// Threads add, replace and remove blocks under the list's own lock; the end
// state is exact whichever mechanism backs the lock.
TEST_P(ListConcurrency, ConcurrentAddsAndRemovesEndExact) {
  platform::AutoResetEvent::FailNextCreates(GetParam());
  CVarBlockList list;
  platform::AutoResetEvent::FailNextCreates(0);
  constexpr int kThreads = 4;
  constexpr uint64_t kPerThread = 400;
  constexpr uint64_t kShared = 8;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&list, t] {
      const uint64_t base = static_cast<uint64_t>(t + 1) << 32;
      for (uint64_t i = 0; i < kPerThread; ++i) {
        list.AddBlock(MakeBlock(48, base + i, static_cast<uint8_t>(t)));
        list.AddBlock(MakeBlock(48, i % kShared, static_cast<uint8_t>(t)));
        if (i % 2 == 1) {
          EXPECT_EQ(list.RemoveByKey(base + i), 1u);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(list.GetCount(), kThreads * kPerThread / 2 + kShared);
  for (int t = 0; t < kThreads; ++t) {
    const uint64_t base = static_cast<uint64_t>(t + 1) << 32;
    for (uint64_t i = 0; i < kPerThread; ++i) {
      const uint8_t* b = list.FindBlock(base + i);
      EXPECT_EQ(b != nullptr, i % 2 == 0) << t << " " << i;
    }
  }
  for (uint64_t k = 0; k < kShared; ++k) ExpectAgreesWithWalk(list, k);
}

INSTANTIATE_TEST_SUITE_P(EventAndFlag, ListConcurrency, ::testing::Values(0, 2),
                         [](const auto& info) { return info.param == 0 ? "Event" : "Flag"; });

}  // namespace
}  // namespace tl
