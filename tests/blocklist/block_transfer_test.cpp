#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "block_test_util.h"
#include "blocklist/block_copy.h"
#include "blocklist/var_block_list.h"

namespace tl {
namespace {

using test::Ids;
using test::MakeBlock;
using test::RecordingList;
using Calls = std::vector<std::string>;

// A serialized sequence of the given blocks (exported by a scratch list).
std::vector<uint8_t> Serialize(const std::vector<uint8_t*>& blocks) {
  CVarBlockList scratch;
  for (uint8_t* b : blocks) scratch.AddTail(CVarBlockList::NodeOfBlock(b));
  std::vector<uint8_t> out(scratch.ExportTo(nullptr, 0) + 64);
  scratch.ExportTo(out.data(), static_cast<uint32_t>(out.size()));
  return out;
}

TEST(ExportTo, EmptyListWritesTheTerminatorOnly) {
  CVarBlockList list;
  EXPECT_EQ(list.ExportTo(nullptr, 0), 4u);
  uint8_t buffer[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(list.ExportTo(buffer, 4), 4u);
  EXPECT_EQ(LoadU32(buffer), 0u);
  EXPECT_EQ(buffer[4], 1);
}

TEST(ExportTo, CapacityLimitsTheBlocksNotTheTerminator) {
  struct Case {
    uint32_t capacity;
    uint32_t result;  // also the terminator's offset + 4
  };
  for (const Case& c :
       {Case{364, 364}, Case{360, 364}, Case{359, 164}, Case{160, 164}, Case{159, 4}, Case{0, 4}}) {
    SCOPED_TRACE(c.capacity);
    RecordingList list;
    list.AddBlock(MakeBlock(160, 1, 1));
    list.AddBlock(MakeBlock(200, 2, 2));
    EXPECT_EQ(list.ExportTo(nullptr, 0), 364u);
    list.Take();
    std::vector<uint8_t> buffer(c.capacity + 4, 0xEE);
    EXPECT_EQ(list.ExportTo(buffer.data(), c.capacity), c.result);
    EXPECT_EQ(LoadU32(buffer.data(), c.result - 4), 0u);
    const size_t blocks = c.result == 364 ? 2 : (c.result == 164 ? 1 : 0);
    Calls expected;  // no lock: the caller holds it when it needs to
    if (blocks >= 1) expected.push_back("Export 1");
    if (blocks >= 2) expected.push_back("Export 2");
    EXPECT_EQ(list.Take(), expected);
  }
}

TEST(ExportTo, SerializedBlockDiffersOnlyInMagicLinksAndTransient) {
  CVarBlockList list;
  list.AddBlock(MakeBlock(200, 0xABCDEF01ull, 7));
  const uint8_t* block = list.FindBlock(0xABCDEF01ull);
  std::vector<uint8_t> out(204);
  ASSERT_EQ(list.ExportTo(out.data(), 200), 204u);
  for (uint32_t i = 0; i < 200; ++i) {
    if (i >= 8 && i < 24) continue;
    if (i >= kBlockTransientOffset && i < kBlockTransientOffset + 4) continue;
    ASSERT_EQ(out[i], block[i]) << i;
  }
  EXPECT_EQ(LoadU32(out.data(), 8), kBlockMagic);
  for (uint32_t i = 12; i < 24; ++i) EXPECT_EQ(out[i], 0) << "no heap address leaks, byte " << i;
  EXPECT_EQ(LoadU32(out.data(), kBlockTransientOffset), 0u);
  EXPECT_EQ(LoadU32(block, kBlockTransientOffset), 0x1234u);  // the listed block is untouched
}

TEST(LoadFromBuffer, RoundTripRestoresEveryBlock) {
  CVarBlockList source;
  source.AddBlock(MakeBlock(160, 1, 1));
  source.AddBlock(MakeBlock(200, 2, 2));
  source.AddBlock(MakeBlock(48, 3, 3));
  std::vector<uint8_t> buffer(source.ExportTo(nullptr, 0));
  source.ExportTo(buffer.data(), static_cast<uint32_t>(buffer.size()));

  RecordingList loaded;
  EXPECT_EQ(loaded.LoadFromBuffer(buffer.data(), 0), 3u);
  EXPECT_EQ(loaded.Take(), (Calls{"Lock", "LoadAll 1", "LoadAll 2", "LoadAll 3", "Unlock"}));
  EXPECT_EQ(loaded.Modified(), 1);
  for (uint64_t key = 1; key <= 3; ++key) {
    const uint8_t* a = source.FindBlock(key);
    const uint8_t* b = loaded.FindBlock(key);
    ASSERT_NE(b, nullptr);
    const uint32_t size = LoadU32(a);
    for (uint32_t i = 0; i < size; ++i) {
      if (i == 6 || i == 7 || (i >= 8 && i < 24) || (i >= 44 && i < 48)) continue;
      ASSERT_EQ(a[i], b[i]) << "key " << key << " byte " << i;
    }
    EXPECT_EQ(LoadU16(b, kBlockLoadedTagOffset), kLoadedTag);
    EXPECT_EQ(LoadU32(b, kBlockTransientOffset), 0u);
  }
}

TEST(LoadFromBuffer, StopsAndSkipsAsTheSequenceSays) {
  struct Case {
    const char* name;
    std::vector<uint8_t> buffer;
    std::vector<int> ids;
    int32_t modified;
  };
  std::vector<uint8_t> no_magic = Serialize({MakeBlock(64, 1, 1), MakeBlock(64, 2, 2)});
  StoreU32(no_magic.data(), 64 + 8, 0);
  std::vector<uint8_t> short_size = Serialize({MakeBlock(64, 1, 1), MakeBlock(64, 2, 2)});
  StoreU32(short_size.data(), 64, 47);
  const std::vector<Case> cases = {
      {"terminator alone", std::vector<uint8_t>(48, 0), {}, 0},
      {"second lacks magic", no_magic, {1}, 1},
      {"second too short", short_size, {1}, 1},
      {"present key skipped",
       Serialize({MakeBlock(64, 1, 1), MakeBlock(64, 9, 2), MakeBlock(64, 3, 3)}),
       {1, 3},
       1},
      {"duplicate in buffer",
       Serialize({MakeBlock(64, 1, 1), MakeBlock(64, 1, 2), MakeBlock(64, 4, 4)}),
       {1, 4},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingList list;
    list.AddBlock(MakeBlock(48, 9, 50));  // key 9 present
    list.SetModified(1);
    list.Take();
    list.LoadFromBuffer(c.buffer.data(), 0);
    std::vector<int> ids = Ids(list);
    ids.erase(ids.begin());
    EXPECT_EQ(ids, c.ids);
    EXPECT_EQ(list.Modified(), c.modified);
    EXPECT_EQ(list.calls.front(), "Lock");
    EXPECT_EQ(list.calls.back(), "Unlock");
  }
}

TEST(LoadFromBuffer, SizeCapTruncatesTheCopy) {
  struct Case {
    uint32_t cap;
    uint32_t copied;
    const char* trace;
  };
  std::vector<uint8_t> buffer = Serialize({MakeBlock(160, 1, 1)});
  for (const Case& c : {Case{100, 100, "LoadNode 1"}, Case{160, 160, "LoadNode 1"},
                        Case{200, 160, "LoadAll 1"}, Case{0, 160, "LoadAll 1"}}) {
    SCOPED_TRACE(c.cap);
    RecordingList list;
    EXPECT_EQ(list.LoadFromBuffer(buffer.data(), c.cap), 1u);
    EXPECT_EQ(list.Take(), (Calls{"Lock", c.trace, "Unlock"}));
    const uint8_t* copy = list.FindBlock(1);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(LoadU32(copy), 160u);  // the size still says the full length
    EXPECT_EQ(std::memcmp(copy + 48, buffer.data() + 48, c.copied - 48), 0);
    // Then the allocation's own zeros (the sanitizer build checks its length).
    for (uint32_t i = c.copied; i < c.copied + 32; ++i) EXPECT_EQ(copy[i], 0) << i;
  }
}

TEST(LoadFromBuffer, UnreadableOrHostileInputGivesADefinedResult) {
  RecordingList list;
  list.SetModified(1);
  EXPECT_EQ(list.LoadFromBuffer(reinterpret_cast<const void*>(uintptr_t{0x100}), 0), 0u);
  EXPECT_TRUE(list.calls.empty());  // no lock taken
  EXPECT_EQ(list.Modified(), 1);

  // A skipped block (its key is present) whose size sends the cursor 4 GiB on:
  // the next header is probed, not read blindly.
  std::vector<uint8_t> hostile = Serialize({MakeBlock(64, 1, 1), MakeBlock(64, 2, 2)});
  StoreU32(hostile.data(), 0, 0xFFFFFF00u);
  list.AddBlock(MakeBlock(48, 1, 50));
  EXPECT_EQ(list.LoadFromBuffer(hostile.data(), 0), 0u);
  EXPECT_EQ(list.GetCount(), 1u);
}

TEST(LoadFromBuffer, AllocationFailureKeepsWhatWasTaken) {
  // The large block gets an allocation of its own, the third: the arena's
  // chunk and its table come first.
  std::vector<uint8_t> buffer =
      Serialize({MakeBlock(64, 1, 1), MakeBlock(300000, 2, 2), MakeBlock(64, 3, 3)});
  CVarBlockList list;
  SetAllocFailureAt(3);
  EXPECT_EQ(list.LoadFromBuffer(buffer.data(), 0), 1u);
  SetAllocFailureAt(0);
  EXPECT_EQ(Ids(list), (std::vector<int>{1}));
  EXPECT_EQ(list.Modified(), 1);
}

TEST(LoadFromChain, TakesTaggedBlocksWithoutKeyTests) {
  CVarBlockList source;
  ASSERT_EQ(source.LoadFromBuffer(Serialize({MakeBlock(64, 1, 1), MakeBlock(64, 2, 2)}).data(), 0),
            2u);
  RecordingList list;
  list.AddBlock(MakeBlock(48, 1, 9));
  list.Take();
  EXPECT_EQ(list.LoadFromChain(source.Head()), 2u);
  EXPECT_EQ(list.Take(), (Calls{"Lock", "Unlock"}));  // no hooks
  EXPECT_EQ(Ids(list), (std::vector<int>{9, 1, 2}));  // key 1 twice
  EXPECT_EQ(test::IdOf(list.FindBlock(1)), 9);
  EXPECT_EQ(list.Modified(), 1);

  // An untagged first block takes nothing.
  CVarBlockList untagged;
  untagged.AddBlock(MakeBlock(64, 5, 5));
  EXPECT_EQ(list.LoadFromChain(untagged.Head()), 0u);
  EXPECT_EQ(list.Modified(), 0);

  // The tagged blocks of a list's own chain: copied once, no endless chase.
  EXPECT_EQ(list.LoadFromChain(list.Head()), 0u);  // its first block is untagged
  EXPECT_EQ(source.LoadFromChain(source.Head()), 2u);
  EXPECT_EQ(Ids(source), (std::vector<int>{1, 2, 1, 2}));
}

TEST(LoadFromChain, StopsAtABlockThatCannotBeTaken) {
  CVarBlockList source;
  source.LoadFromBuffer(
      Serialize({MakeBlock(64, 1, 1), MakeBlock(64, 2, 2), MakeBlock(64, 3, 3)}).data(), 0);
  StoreU32(source.FindBlock(2), kBlockSizeOffset, 0x80000001u);
  CVarBlockList list;
  EXPECT_EQ(list.LoadFromChain(source.Head()), 1u);
  StoreU32(source.FindBlock(2), kBlockSizeOffset, 64);
  EXPECT_EQ(list.LoadFromChain(nullptr), 0u);
}

TEST(MergeFrom, CopiesMissingKeysUnderTheOtherListsLock) {
  RecordingList other;
  other.AddBlock(MakeBlock(64, 1, 1));
  other.AddBlock(MakeBlock(64, 2, 2));
  other.AddTail(CVarBlockList::NodeOfBlock(MakeBlock(64, 3, 3)));
  other.AddTail(CVarBlockList::NodeOfBlock(MakeBlock(64, 3, 4)));  // duplicate key
  other.Take();
  RecordingList list;
  list.AddBlock(MakeBlock(48, 2, 20));
  list.Take();

  list.MergeFrom(other);
  EXPECT_EQ(other.Take(), (Calls{"Lock", "Unlock"}));
  EXPECT_EQ(list.Take(),
            (Calls{"Lock", "Unlock", "MergeBlock 1", "Lock", "Unlock", "MergeBlock 3"}));
  EXPECT_EQ(Ids(list), (std::vector<int>{20, 1, 3}));
  EXPECT_NE(list.FindBlock(1), other.FindBlock(1));  // copies, not the other's blocks
  EXPECT_EQ(list.Modified(), 1);

  list.MergeFrom(list);  // every key found: nothing taken, no wait on its own lock
  EXPECT_EQ(Ids(list), (std::vector<int>{20, 1, 3}));
  EXPECT_EQ(list.Modified(), 0);
}

TEST(BlockCopy, ProbesThenCopiesWithZeroPadding) {
  uint8_t* source = MakeBlock(100, 1, 1);
  EXPECT_TRUE(ProbeReadable(source, 100));
  EXPECT_FALSE(ProbeReadable(nullptr, 4));
  EXPECT_FALSE(ProbeReadable(reinterpret_cast<const void*>(uintptr_t{0x10}), 48));
  auto* copy = static_cast<uint8_t*>(BlockCopy(source, 60));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::memcmp(copy, source, 60), 0);
  for (int i = 60; i < 92; ++i) EXPECT_EQ(copy[i], 0) << i;
  EXPECT_EQ(BlockCopy(reinterpret_cast<const void*>(uintptr_t{0x10}), 48), nullptr);
  std::free(copy);
  std::free(source);
}

}  // namespace
}  // namespace tl
