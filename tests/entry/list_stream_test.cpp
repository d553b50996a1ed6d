#include "entry/list_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "entry/hash_list.h"
#include "entry/list_payload.h"
#include "entry/list_store.h"
#include "minifile/container_reader.h"
#include "minifile/creation_parameters.h"
#include "minifile/minifile.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

void AddHashBlock(CVarBlockList& list, uint32_t size, uint32_t crc) {
  uint8_t work[kHashBlockSize];
  ASSERT_EQ(BuildHashBlock(work, size, crc), kHashBlockSize);
  ASSERT_EQ(list.AddBlockCopy(work), 1u);
}

// Writes the list into a fresh container and reads the stream back.
struct Stored {
  uint32_t result = 0;
  bool present = false;
  std::vector<uint8_t> payload;
};

Stored WriteAndReadBack(CVarBlockList& list, const test::TempDir& dir,
                        const char16_t* stream = u"ProgramList") {
  Stored s;
  const auto path = dir.File("TrustCustom.mnf");
  {
    ListStore store;
    EXPECT_EQ(store.Open(path.c_str(), kCommitCreationParameters), StoreStatus::kOk);
    store.WriteList(stream, list, &s.result);
  }
  ContainerReader reader;
  EXPECT_TRUE(reader.Open(path.c_str()));
  const int entry = reader.FindStream(stream);
  s.present = entry >= 0;
  if (s.present) {
    EXPECT_EQ(reader.ReadStream(static_cast<uint32_t>(entry), &s.payload), Defect::kNone);
  }
  return s;
}

TEST(ListStream, EmptyListIsTheTwentyBytePayload) {
  test::TempDir dir;
  CVarBlockList list;
  const Stored s = WriteAndReadBack(list, dir);
  EXPECT_EQ(s.result, 0u);
  ASSERT_TRUE(s.present);
  EXPECT_EQ(s.payload,
            (std::vector<uint8_t>{48, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ParsedPayload p;
  EXPECT_TRUE(ParseListPayload(s.payload.data(), s.payload.size(), &p));
}

TEST(ListStream, TwoBlocks) {
  test::TempDir dir;
  CVarBlockList list;
  AddHashBlock(list, 0x2000, 0x1234abcd);
  AddHashBlock(list, 0x10, 0x20);
  const Stored s = WriteAndReadBack(list, dir);
  EXPECT_EQ(s.result, 2u);
  ASSERT_EQ(s.payload.size(), 420u);
  ParsedPayload p;
  ASSERT_TRUE(ParseListPayload(s.payload.data(), s.payload.size(), &p)) << p.defects;
  EXPECT_EQ(p.count, 2);
  EXPECT_EQ(p.blocks_size, 404u);
  ASSERT_EQ(p.blocks.size(), 2u);
  EXPECT_EQ(p.blocks[0].offset, 16u);
  EXPECT_EQ(p.blocks[1].offset, 216u);
  EXPECT_EQ(LoadU32(s.payload.data(), 416), 0u);
  EXPECT_EQ(LoadU32(s.payload.data(), 16 + kBlockMagicOffset), kBlockMagic);
  EXPECT_EQ(LoadU64(s.payload.data(), 216 + kPbFingerprintOffset), 0x0000001000000020ull);
  // The list is left as it was; emptying it is the caller's business.
  EXPECT_EQ(list.GetCount(), 2u);
}

TEST(ListStream, FailuresGiveZero) {
  test::TempDir dir;
  CVarBlockList list;
  AddHashBlock(list, 1, 2);
  // No memory for the payload: nothing is written.
  {
    const auto path = dir.File("nomem.mnf");
    ListStore store;
    ASSERT_EQ(store.Open(path.c_str(), kCommitCreationParameters), StoreStatus::kOk);
    uint32_t count = 7;
    SetAllocFailureAt(1);
    EXPECT_EQ(store.WriteList(u"ProgramList", list, &count), StoreStatus::kNoMemory);
    SetAllocFailureAt(0);
    EXPECT_EQ(count, 0u);
    store.Close();
    ContainerReader reader;
    ASSERT_TRUE(reader.Open(path.c_str()));
    EXPECT_EQ(reader.FindStream(u"ProgramList"), -1);
  }
  // No container open.
  {
    ListStore closed;
    uint32_t count = 0;
    EXPECT_EQ(closed.WriteList(u"ProgramList", list, &count), StoreStatus::kNotOpen);
  }
  // A stream the container cannot hold: 31 MiB of blocks in 30 blocks of 1 MiB.
  CVarBlockList big;
  std::vector<uint8_t> block(0x100000, 0);
  for (uint32_t i = 0; i < 31; ++i) {
    StoreU32(block.data(), 0, static_cast<uint32_t>(block.size()));
    StoreU64(block.data(), kBlockKeyOffset, i + 1);
    ASSERT_EQ(big.AddBlockCopy(block.data()), 1u);
  }
  const Stored s = WriteAndReadBack(big, dir, u"BlockList");
  EXPECT_EQ(s.result, 0u);
  EXPECT_FALSE(s.present);
}

TEST(ListStream, CountFieldKeepsTheLow16Bits) {
  test::TempDir dir;
  CVarBlockList list;
  uint8_t block[48] = {};
  StoreU32(block, 0, 48);
  for (uint32_t i = 0; i < 65537; ++i) {
    StoreU64(block, kBlockKeyOffset, i + 1);
    ASSERT_EQ(list.AddBlockCopy(block), 1u);
  }
  const Stored s = WriteAndReadBack(list, dir);
  EXPECT_EQ(s.result, 65537u);
  ParsedPayload p;
  EXPECT_TRUE(ParseListPayload(s.payload.data(), s.payload.size(), &p)) << p.defects;
  EXPECT_EQ(p.count, 1);
  EXPECT_EQ(p.blocks.size(), 65537u);
}

TEST(ListPayload, ReportsDefects) {
  // A sound payload with two 160-byte blocks.
  std::vector<uint8_t> sound(16 + 320 + 4, 0);
  StoreU16(sound.data(), 0, 48);
  StoreU16(sound.data(), 2, 2);
  StoreU32(sound.data(), 4, 324);
  for (size_t at : {size_t{16}, size_t{176}}) {
    StoreU32(sound.data(), at, 160);
    StoreU32(sound.data(), at + 8, kBlockMagic);
  }
  ParsedPayload p;
  ASSERT_TRUE(ParseListPayload(sound.data(), sound.size(), &p));

  const struct {
    const char* what;
    void (*mutate)(std::vector<uint8_t>&);
    uint32_t defects;
    size_t blocks;
  } cases[] = {
      {"tag", [](auto& b) { b[0] = 47; }, kPayloadBadTag, 2},
      {"reserved", [](auto& b) { b[15] = 1; }, kPayloadReservedNonZero, 2},
      {"count", [](auto& b) { b[2] = 3; }, kPayloadCountMismatch, 2},
      {"blocks size", [](auto& b) { StoreU32(b.data(), 4, 320); }, kPayloadSizeMismatch, 2},
      {"trailing byte", [](auto& b) { b.push_back(0); }, kPayloadSizeMismatch, 2},
      {"magic", [](auto& b) { b[176 + 8] = 0; }, kPayloadBadMagic | kPayloadCountMismatch, 1},
      {"block size small", [](auto& b) { StoreU32(b.data(), 176, 47); },
       kPayloadBadBlockSize | kPayloadCountMismatch, 1},
      {"block size past end", [](auto& b) { StoreU32(b.data(), 176, 1000); },
       kPayloadBadBlockSize | kPayloadCountMismatch, 1},
      {"no terminator", [](auto& b) { b.resize(b.size() - 2); },
       kPayloadSizeMismatch | kPayloadNoTerminator, 2},
      {"transient", [](auto& b) { b[16 + 44] = 1; }, kPayloadTransientNonZero, 2},
      {"short", [](auto& b) { b.resize(15); }, kPayloadTooShort, 0},
  };
  for (const auto& c : cases) {
    auto bytes = sound;
    c.mutate(bytes);
    EXPECT_FALSE(ParseListPayload(bytes.data(), bytes.size(), &p)) << c.what;
    EXPECT_EQ(p.defects, c.defects) << c.what;
    EXPECT_EQ(p.blocks.size(), c.blocks) << c.what;
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
      if (p.defects & bit) {
        EXPECT_STRNE(PayloadDefectText(bit), "") << c.what;
      }
    }
  }
}

// Two blocks of 200 bytes at payload offsets 16 and 216, terminator at 416.
TEST(ListPayload, SameListPayloadSetsAsideOnlyTheLinkRestOfEachBlock) {
  CVarBlockList list;
  AddHashBlock(list, 0x2000, 0x1234abcd);
  AddHashBlock(list, 0x10, 0x20);
  uint32_t size = 0, count = 0;
  uint8_t* built = BuildListPayload(list, &size, &count);
  ASSERT_NE(built, nullptr);
  const std::vector<uint8_t> base(built, built + size);
  ZeroFree(built);
  ASSERT_EQ(base.size(), 420u);
  struct Case {
    const char* what;
    size_t offset;  // byte of the copy that is changed
    bool same;
  };
  const Case cases[] = {
      {"first byte of block 1's link rest", 16 + 12, true},
      {"last byte of block 1's link rest", 16 + 23, true},
      {"block 2's link rest", 216 + 17, true},
      {"payload header (count)", 2, false},
      {"payload header (reserved)", 9, false},
      {"block 1's magic, just before the rest", 16 + 11, false},
      {"block 2's key, just after the rest", 216 + 24, false},
      {"block 2's loaded tag", 216 + 6, false},
      {"block 2's last byte", 415, false},
      {"the terminator", 417, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> other = base;
    other[c.offset] ^= 0x5a;
    EXPECT_EQ(SameListPayload(base.data(), base.size(), other.data(), other.size()), c.same);
    EXPECT_EQ(SameListPayload(other.data(), other.size(), base.data(), base.size()), c.same);
  }
  EXPECT_TRUE(SameListPayload(base.data(), base.size(), base.data(), base.size()));
  // One more or one fewer byte is never the same list.
  std::vector<uint8_t> longer = base;
  longer.push_back(0);
  EXPECT_FALSE(SameListPayload(base.data(), base.size(), longer.data(), longer.size()));
  EXPECT_FALSE(SameListPayload(longer.data(), longer.size(), base.data(), base.size()));
  // Where the walk stops (a size past the end) no byte is set aside any more:
  // bytes 12..23 of what would have been a block then count.
  std::vector<uint8_t> broken = base;
  StoreU32(broken.data(), 216, 5000);
  std::vector<uint8_t> broken_other = broken;
  broken_other[216 + 12] ^= 1;
  EXPECT_FALSE(
      SameListPayload(broken.data(), broken.size(), broken_other.data(), broken_other.size()));
  EXPECT_TRUE(SameListPayload(broken.data(), broken.size(), broken.data(), broken.size()));
  // Shorter than a header: compared whole.
  EXPECT_FALSE(SameListPayload(base.data(), 10, longer.data() + 1, 10));
}

}  // namespace
}  // namespace tl
