#include "blocklist/block_arena.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "block_test_util.h"
#include "blocklist/var_block_list.h"
#include "common/zalloc.h"

namespace tl {
namespace {

bool AllZero(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  for (size_t i = 0; i < n; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

TEST(BlockArena, CarvesZeroedBlocksAndGivesChunksBackWhenEmpty) {
  BlockArena arena;
  std::vector<void*> blocks;
  // Enough 200-byte blocks for three chunks; each is scribbled on, as a list
  // would, so that reuse must zero it again.
  for (int i = 0; i < 12000; ++i) {
    void* b = arena.Allocate(200);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(AllZero(b, 200 + kSpareBytes)) << "block " << i;
    ASSERT_TRUE(arena.Owns(b));
    std::memset(b, 0xAB, 200 + kSpareBytes);
    blocks.push_back(b);
  }
  EXPECT_EQ(arena.chunk_count(), 3u);
  // Released out of order: a chunk goes once its last block does, the one
  // being carved from stays and is carved again from its start.
  for (size_t i = 0; i < blocks.size(); i += 2) arena.Release(blocks[i]);
  EXPECT_EQ(arena.chunk_count(), 3u);
  for (size_t i = 1; i < blocks.size(); i += 2) arena.Release(blocks[i]);
  EXPECT_EQ(arena.chunk_count(), 1u);
  for (int i = 0; i < 100; ++i) {
    void* b = arena.Allocate(100 + i);
    ASSERT_TRUE(AllZero(b, 100 + i + kSpareBytes)) << "reused block " << i;
    std::memset(b, 0xCD, 100 + i);
  }
  EXPECT_FALSE(arena.Owns(&blocks));
}

TEST(BlockArena, LargeBlocksAndHeapBlocksAreHeapAllocations) {
  BlockArena arena;
  void* big = arena.Allocate(BlockArena::kChunkBytes / 2);
  ASSERT_NE(big, nullptr);
  EXPECT_FALSE(arena.Owns(big));
  EXPECT_TRUE(AllZero(big, BlockArena::kChunkBytes / 2 + kSpareBytes));
  arena.Release(big);  // free(), or ASan and valgrind would tell
  arena.Release(ZeroAlloc(64));
  arena.Release(nullptr);
  EXPECT_EQ(arena.chunk_count(), 0u);
}

TEST(BlockArena, AChunkThatCannotBeHadIsAnAllocationFailure) {
  BlockArena arena;
  for (uint64_t n : {1u, 2u}) {  // the chunk, then the table of chunks
    SetAllocFailureAt(n);
    EXPECT_EQ(arena.Allocate(64), nullptr);
    SetAllocFailureAt(0);
    EXPECT_EQ(arena.chunk_count(), 0u);
  }
  EXPECT_NE(arena.Allocate(64), nullptr);
}

// The list over its arena: replacement by key and removal release arena
// blocks and heap blocks alike, and a list that fails to copy is unchanged.
TEST(BlockArena, TheListReleasesBothKindsOfBlock) {
  // Sources the list copies; made before any allocation is made to fail.
  std::vector<std::unique_ptr<uint8_t, decltype(&std::free)>> sources;
  auto source = [&](uint32_t size, uint64_t key, uint8_t id) {
    sources.emplace_back(test::MakeBlock(size, key, id), &std::free);
    return sources.back().get();
  };
  CVarBlockList list;
  ASSERT_EQ(list.AddBlockCopy(source(64, 1, 1)), 1u);  // arena copy
  list.AddBlock(test::MakeBlock(64, 2, 2));            // heap block, owned
  ASSERT_EQ(list.AddBlockCopy(source(80, 2, 3)), 1u);  // replaces the heap one
  list.AddBlock(test::MakeBlock(64, 1, 4));            // replaces an arena one
  EXPECT_EQ(list.GetCount(), 2u);
  EXPECT_EQ(list.RemoveByKey(2), 1u);
  uint8_t* small = source(64, 5, 5);
  uint8_t* large = source(400000, 6, 6);
  SetAllocFailureAt(1, true);
  // The chunk in use still has room: only a new allocation fails.
  EXPECT_EQ(list.AddOwnBlockCopy(small, 64), 1u);
  EXPECT_EQ(list.AddOwnBlockCopy(large, 400000), 0u);
  SetAllocFailureAt(0);
  EXPECT_EQ(list.GetCount(), 2u);
  EXPECT_EQ(list.FindBlock(6), nullptr);
  list.FreeNode(list.RemoveHead());  // a block taken out goes back through the list
  list.RemoveAll();
  EXPECT_EQ(list.GetCount(), 0u);
}

}  // namespace
}  // namespace tl
