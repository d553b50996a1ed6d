#include "blocklist/var_block_list.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>

#include "block_test_util.h"
#include "trustlist/trustlist.h"

namespace tl {
namespace {

using test::Ids;
using test::MakeBlock;
using test::RecordingList;
using Calls = std::vector<std::string>;

static_assert(kRequestNextOffset == offsetof(TrustlistRequest, next));
static_assert(kRequestRecordSize == TRUSTLIST_REQUEST_SIZE);

TEST(VarBlockList, StartsEmptyWithOffset8) {
  CVarBlockList list;
  EXPECT_EQ(list.IsEmpty(), 1);
  EXPECT_EQ(list.NodeOffset(), 8);
  EXPECT_EQ(list.RequestChain(), nullptr);
  EXPECT_EQ(list.Modified(), 0);
}

TEST(VarBlockList, AddBlockAppendsAndReplacesByKey) {
  RecordingList list;
  EXPECT_EQ(list.AddBlock(MakeBlock(64, 10, 1)), 1u);
  EXPECT_EQ(list.AddBlock(MakeBlock(64, 20, 2)), 1u);
  EXPECT_EQ(list.Take(), (Calls{"Lock", "Append 1", "Unlock", "Lock", "Append 2", "Unlock"}));
  EXPECT_EQ(list.Modified(), 1);

  list.SetModified(0);
  EXPECT_EQ(list.AddBlock(MakeBlock(80, 10, 3)), 1u);
  // The old block is freed between OnReplace and "Update"; the new one goes last.
  EXPECT_EQ(list.Take(), (Calls{"Lock", "OnReplace 3 1", "Update 3", "Append 3", "Unlock"}));
  EXPECT_EQ(Ids(list), (std::vector<int>{2, 3}));
  EXPECT_EQ(list.Modified(), 1);
}

TEST(VarBlockList, AddBlockReplacesOnlyTheFirstOfDuplicates) {
  RecordingList list;
  list.AddTail(CVarBlockList::NodeOfBlock(MakeBlock(48, 5, 1)));
  list.AddTail(CVarBlockList::NodeOfBlock(MakeBlock(48, 6, 2)));
  list.AddTail(CVarBlockList::NodeOfBlock(MakeBlock(48, 5, 3)));
  list.Take();
  list.AddBlock(MakeBlock(48, 5, 4));
  EXPECT_EQ(list.Take(), (Calls{"Lock", "OnReplace 4 1", "Update 4", "Append 4", "Unlock"}));
  EXPECT_EQ(Ids(list), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(test::IdOf(list.FindBlock(5)), 3);
}

TEST(VarBlockList, AddBlockCopyValidatesSizeAndReadability) {
  struct Case {
    const char* name;
    uint32_t declared;
    uint32_t result;
  };
  for (const Case& c : {Case{"47", 47, 0}, Case{"48", 48, 1}, Case{"0x80000001", 0x80000001u, 0},
                        Case{"0", 0, 0}, Case{"0xFFFFFFFF", 0xFFFFFFFFu, 0}}) {
    SCOPED_TRACE(c.name);
    CVarBlockList list;
    uint8_t* source = MakeBlock(64, 9, 1);
    StoreU32(source, kBlockSizeOffset, c.declared);
    EXPECT_EQ(list.AddBlockCopy(source), c.result);
    EXPECT_EQ(list.GetCount(), c.result);
    EXPECT_EQ(list.Modified(), static_cast<int32_t>(c.result));
    if (c.result == 1) {
      const uint8_t* copy = list.FindBlock(9);
      ASSERT_NE(copy, nullptr);
      ASSERT_NE(copy, source);
      EXPECT_EQ(std::memcmp(copy + 24, source + 24, 24), 0);
      // 48 bytes of block, then 32 zero bytes of its own allocation (not the
      // source's pattern); the sanitizer build checks the allocation's length.
      for (int i = 48; i < 80; ++i) EXPECT_EQ(copy[i], 0) << i;
    }
    std::free(source);
  }
  CVarBlockList list;
  EXPECT_EQ(list.AddBlockCopy(nullptr), 0u);
  EXPECT_EQ(list.AddBlockCopy(reinterpret_cast<const void*>(uintptr_t{0x100})), 0u);
  EXPECT_EQ(list.IsEmpty(), 1);
}

TEST(VarBlockList, AddBlockCopyWithoutMemoryChangesNothing) {
  CVarBlockList list;
  list.AddBlock(MakeBlock(48, 1, 1));
  list.SetModified(0);
  uint8_t* source = MakeBlock(100, 2, 2);
  SetAllocFailureAt(1);
  EXPECT_EQ(list.AddBlockCopy(source), 0u);
  SetAllocFailureAt(0);
  EXPECT_EQ(Ids(list), (std::vector<int>{1}));
  EXPECT_EQ(list.Modified(), 0);
  std::free(source);
}

TEST(VarBlockList, RemoveByKeyRemovesTheFirstAndReleasesTheLock) {
  RecordingList list;
  list.AddTail(CVarBlockList::NodeOfBlock(MakeBlock(48, 5, 1)));
  list.AddTail(CVarBlockList::NodeOfBlock(MakeBlock(48, 5, 2)));
  list.Take();
  list.SetModified(0);

  EXPECT_EQ(list.RemoveByKey(6), 0u);
  EXPECT_EQ(list.Take(), (Calls{"Lock", "Unlock"}));
  EXPECT_EQ(list.Modified(), 0);

  EXPECT_EQ(list.RemoveByKey(5), 1u);
  EXPECT_EQ(list.Take(), (Calls{"Lock", "RemoveBlock 1", "Unlock"}));
  EXPECT_EQ(Ids(list), (std::vector<int>{2}));
  EXPECT_EQ(list.Modified(), 1);
}

TEST(VarBlockList, FindAndLockHoldsTheLockOnlyWhenFound) {
  RecordingList list;
  list.AddBlock(MakeBlock(48, 5, 1));
  list.Take();
  EXPECT_EQ(list.FindAndLock(4), nullptr);
  EXPECT_EQ(list.Take(), (Calls{"Lock", "Unlock"}));
  uint8_t* found = list.FindAndLock(5);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(test::IdOf(found), 1);
  EXPECT_EQ(list.Take(), (Calls{"Lock"}));
  list.Unlock();
}

TEST(VarBlockList, DestructorFreesRequestChainAndBlocks) {
  // The sanitizer build reports anything left behind.
  auto* list = new CVarBlockList;
  void* chain = nullptr;
  for (int i = 0; i < 3; ++i) {
    void* record = ZeroAlloc(kRequestRecordSize);
    std::memcpy(static_cast<uint8_t*>(record) + kRequestNextOffset, &chain, sizeof chain);
    chain = record;
  }
  list->SetRequestChain(chain);
  list->AddBlock(MakeBlock(48, 1, 1));
  list->AddBlock(MakeBlock(48, 2, 2));
  delete list;
  SUCCEED();
}

// Equality on the low 32 bits only: the index must step aside.
class LowHalfList : public CVarBlockList {
 public:
  int32_t IsEqualKey(uint64_t a, uint64_t b) override {
    return static_cast<uint32_t>(a) == static_cast<uint32_t>(b) ? 1 : 0;
  }
};
// Forwards unchanged: still the default equality.
class ForwardingList : public CVarBlockList {
 public:
  int32_t IsEqualKey(uint64_t a, uint64_t b) override { return CVarBlockList::IsEqualKey(a, b); }
};

TEST(VarBlockList, ReplacedKeyEqualityIsHonoured) {
  LowHalfList low;
  low.AddBlock(MakeBlock(48, 0x100000007ull, 1));
  low.AddBlock(MakeBlock(48, 0x200000007ull, 2));  // equal under the override: replaces
  EXPECT_EQ(Ids(low), (std::vector<int>{2}));
  EXPECT_EQ(test::IdOf(low.FindBlock(7)), 2);
  EXPECT_FALSE(low.KeyIndexActive());

  ForwardingList forwarding;
  forwarding.AddBlock(MakeBlock(48, 0x100000007ull, 1));
  forwarding.AddBlock(MakeBlock(48, 0x200000007ull, 2));
  EXPECT_EQ(Ids(forwarding), (std::vector<int>{1, 2}));
  EXPECT_TRUE(forwarding.KeyIndexActive());
}

}  // namespace
}  // namespace tl
