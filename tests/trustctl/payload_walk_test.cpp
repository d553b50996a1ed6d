// The one payload walk and its two readers: every defect the walk reports
// carries its kind, payload offset and block, and reaches both the strict
// reading (a defect bit, the walk cut at a block it cannot trust) and
// trustctl's tolerant reading (a message at the same offset, the walk going on
// where block sizes still lead).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blocklist/block_header.h"
#include "common/le.h"
#include "entry/hash_list.h"
#include "entry/list_payload.h"
#include "view/payload_view.h"

namespace tl::test {
namespace {

constexpr size_t kBlocks = 3;

// Three fingerprint-only blocks of 200 bytes, as a list stores them.
std::vector<uint8_t> SoundPayload() {
  std::vector<uint8_t> p(kPayloadHeaderBytes + kBlocks * kHashBlockSize + 4, 0);
  StoreU16(p.data(), kPayloadTagOffset, kPayloadTag);
  StoreU16(p.data(), kPayloadCountOffset, kBlocks);
  StoreU32(p.data(), kPayloadBlocksSizeOffset, kBlocks * kHashBlockSize + 4);
  for (size_t i = 0; i < kBlocks; ++i) {
    uint8_t* b = p.data() + kPayloadHeaderBytes + i * kHashBlockSize;
    BuildHashBlock(b, 0x1000 + static_cast<uint32_t>(i), 0xABC0 + static_cast<uint32_t>(i));
    StoreU32(b, kBlockMagicOffset, kBlockMagic);
  }
  return p;
}

class Recorder final : public PayloadWalkSink {
 public:
  bool OnDefect(const PayloadDefectReport& d) override {
    defects.push_back(d);
    return true;
  }
  std::vector<PayloadDefectReport> defects;
};

constexpr size_t Block(size_t i) { return kPayloadHeaderBytes + i * kHashBlockSize; }

TEST(PayloadWalk, EachDefectReachesTheStrictAndTheTolerantReading) {
  const std::vector<uint8_t> sound = SoundPayload();
  {
    Recorder r;
    WalkListPayload(sound.data(), sound.size(), r);
    ASSERT_TRUE(r.defects.empty());
    ASSERT_TRUE(ctl::ParsePayload(sound.data(), sound.size()).issues.empty());
  }
  const size_t end = Block(kBlocks);  // the terminator
  const struct {
    const char* what;
    void (*mutate)(std::vector<uint8_t>&);
    PayloadDefect kind;
    size_t offset;
    int32_t block;
    uint32_t strict_bit;     // what ParseListPayload records for it
    size_t strict_blocks;    // the blocks the strict reading keeps
    size_t tolerant_blocks;  // the blocks trustctl shows
    const char* text;        // trustctl's message
  } cases[] = {
      {"tag", [](auto& b) { b[0] = 47; }, kPayloadBadTag, 0, -1, kPayloadBadTag, 3, 3,
       "header tag is 47, not 48"},
      {"reserved", [](auto& b) { b[15] = 1; }, kPayloadReservedNonZero, 8, -1,
       kPayloadReservedNonZero, 3, 3, "reserved header bytes are not zero"},
      {"blocks size", [](auto& b) { StoreU32(b.data(), 4, 7); }, kPayloadSizeMismatch, 4, -1,
       kPayloadSizeMismatch, 3, 3, "blocks size 7 disagrees with the 604 bytes after the header"},
      {"trailing bytes",
       [](auto& b) {
         b.insert(b.end(), {0, 0});
       },
       kPayloadTrailingBytes, end + 4, -1, kPayloadSizeMismatch, 3, 3,
       "2 bytes follow the terminator"},
      {"magic", [](auto& b) { b[Block(1) + 8] ^= 1; }, kPayloadBadMagic, Block(1) + 8, 1,
       kPayloadBadMagic, 1, 3, "block magic is 0x5a65564a, not 'ZeVK'"},
      {"transient", [](auto& b) { b[Block(0) + 44] = 1; }, kPayloadTransientNonZero, Block(0) + 44,
       0, kPayloadTransientNonZero, 3, 3, "transient field is not zero"},
      {"block size", [](auto& b) { StoreU32(b.data(), Block(2), 1000); }, kPayloadBadBlockSize,
       Block(2), 2, kPayloadBadBlockSize, 2, 3, "block size 1000 ends the walk"},
      {"no terminator", [](auto& b) { b.resize(b.size() - 2); }, kPayloadNoTerminator, end, -1,
       kPayloadNoTerminator, 3, 3, "the block sequence has no terminator"},
      {"count", [](auto& b) { b[2] = 5; }, kPayloadCountMismatch, 2, -1, kPayloadCountMismatch, 3,
       3, "block count 5 disagrees with the 3 blocks found"},
      {"too short", [](auto& b) { b.resize(10); }, kPayloadTooShort, 0, -1, kPayloadTooShort, 0, 0,
       "payload of 10 bytes is shorter than its header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = sound;
    c.mutate(bytes);

    Recorder r;
    WalkListPayload(bytes.data(), bytes.size(), r);
    const PayloadDefectReport* hit = nullptr;
    for (const auto& d : r.defects) {
      if (d.kind == c.kind) hit = &d;
    }
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->offset, c.offset);
    EXPECT_EQ(hit->block, c.block);

    ParsedPayload strict;
    EXPECT_FALSE(ParseListPayload(bytes.data(), bytes.size(), &strict));
    EXPECT_NE(strict.defects & c.strict_bit, 0u);
    EXPECT_EQ(strict.blocks.size(), c.strict_blocks);

    const ctl::PayloadView v = ctl::ParsePayload(bytes.data(), bytes.size());
    EXPECT_EQ(v.blocks.size(), c.tolerant_blocks);
    bool said = false;
    for (const auto& issue : v.issues) {
      said = said || (issue.offset == c.offset && issue.block == c.block &&
                      issue.text.find(c.text) != std::string::npos);
    }
    EXPECT_TRUE(said) << "no message \"" << c.text << "\" at " << c.offset;
  }
}

// A walk cut short cannot count: the strict reading still flags the count
// (it trusts nothing), the tolerant one says only where the walk ended.
TEST(PayloadWalk, ACutWalkIsNotCountedByTheTolerantReading) {
  std::vector<uint8_t> bytes = SoundPayload();
  StoreU32(bytes.data(), Block(1), 3);  // below the smallest block
  ParsedPayload strict;
  EXPECT_FALSE(ParseListPayload(bytes.data(), bytes.size(), &strict));
  EXPECT_EQ(strict.defects, kPayloadBadBlockSize | kPayloadCountMismatch);
  const ctl::PayloadView v = ctl::ParsePayload(bytes.data(), bytes.size());
  for (const auto& issue : v.issues) {
    EXPECT_EQ(issue.text.find("block count"), std::string::npos) << issue.text;
  }
  EXPECT_EQ(v.issues.back().text, "block size 3 ends the walk");
}

}  // namespace
}  // namespace tl::test
