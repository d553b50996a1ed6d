// The one payload walk and its two readers: every defect the walk reports
// carries its kind, payload offset and block, and reaches both the strict
// reading (a defect bit, the walk cut at a block it cannot trust) and
// trustctl's tolerant reading (a message at the same offset, the walk going on
// where block sizes still lead).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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

// Everything a sink is told, with a check value of the bytes it may read.
class Events final : public PayloadWalkSink {
 public:
  void OnBlock(const PayloadBlockReport& b) override { Note("block", b); }
  void OnBlockChecked(const PayloadBlockReport& b) override { Note("checked", b); }
  bool OnDefect(const PayloadDefectReport& d) override {
    told.push_back("defect " + std::to_string(d.kind) + " " + std::to_string(d.offset) + " " +
                   std::to_string(d.block) + " " + std::to_string(d.found) + " " +
                   std::to_string(d.expected));
    return true;
  }
  std::vector<std::string> told;

 private:
  void Note(const char* what, const PayloadBlockReport& b) {
    uint32_t sum = 0;
    for (size_t i = 0; i < b.span; ++i) sum = sum * 31 + b.bytes[i];
    told.push_back(std::string(what) + " " + std::to_string(b.index) + " " +
                   std::to_string(b.offset) + " " + std::to_string(b.size) + " " +
                   std::to_string(b.available) + " " + std::to_string(b.size_ok) + " " +
                   std::to_string(b.span) + " " + std::to_string(sum));
  }
};

struct Pull {
  const std::vector<uint8_t>* bytes;
  size_t at = 0;
  size_t fail_at = SIZE_MAX;  // a pull that would reach this offset fails
  static bool Next(void* context, uint8_t* out, size_t room, size_t* got) {
    auto* p = static_cast<Pull*>(context);
    *got = std::min({room, p->bytes->size() - p->at, size_t{97}});  // short pulls too
    if (p->at + *got > p->fail_at) return false;
    std::copy_n(p->bytes->data() + p->at, *got, out);
    p->at += *got;
    return true;
  }
};

// A payload handed in pieces of any size is walked as the whole buffer is:
// the same blocks, defects, spans and bytes, and trustctl's reading says the
// same. Cases: a sound payload, each defect above, a block longer than the
// window, a size far past the end.
TEST(PayloadWalk, PiecesAreWalkedAsTheWholeBuffer) {
  std::vector<std::vector<uint8_t>> payloads = {SoundPayload()};
  for (auto mutate : std::vector<void (*)(std::vector<uint8_t>&)>{
           [](auto& b) { b[0] = 47; },
           [](auto& b) {
             b.insert(b.end(), {0, 0});
           },
           [](auto& b) { b[Block(1) + 8] ^= 1; }, [](auto& b) { b[Block(0) + 44] = 1; },
           [](auto& b) { StoreU32(b.data(), Block(2), 1000); },
           [](auto& b) { StoreU32(b.data(), Block(1), 0x7FFFFFF0); },
           [](auto& b) { StoreU32(b.data(), Block(1), 3); },
           [](auto& b) { b.resize(b.size() - 2); }, [](auto& b) { b.resize(10); },
           [](auto& b) { b.resize(Block(1) + 20); },
           // Blocks 0 and 1 made one 400-byte block: longer than small windows.
           [](auto& b) { StoreU32(b.data(), Block(0), 2 * kHashBlockSize); }}) {
    payloads.push_back(SoundPayload());
    mutate(payloads.back());
  }
  for (size_t k = 0; k < payloads.size(); ++k) {
    const std::vector<uint8_t>& bytes = payloads[k];
    Events whole;
    WalkListPayload(bytes.data(), bytes.size(), whole);
    const ctl::PayloadView view = ctl::ParsePayload(bytes.data(), bytes.size());
    for (const size_t piece : {size_t{1}, size_t{16}, size_t{159}, size_t{161}, size_t{4096}}) {
      SCOPED_TRACE("payload " + std::to_string(k) + ", piece " + std::to_string(piece));
      Pull pull{&bytes};
      PiecedPayload source(bytes.size(), piece, &Pull::Next, &pull);
      Events pieced;
      WalkListPayload(source, pieced);
      EXPECT_FALSE(source.failed());
      EXPECT_EQ(pieced.told, whole.told);
      // A sound payload is walked in a window of the order of one piece, or
      // of its longest block: never the whole payload.
      if (k == 0) EXPECT_LE(source.window(), 2 * std::max<size_t>(piece, kHashBlockSize));

      Pull again{&bytes};
      PiecedPayload source2(bytes.size(), piece, &Pull::Next, &again);
      size_t blocks = 0;
      const ctl::PayloadView v =
          ctl::WalkPayload(source2, [&](const ctl::PayloadBlock&) { ++blocks; });
      EXPECT_EQ(blocks, view.blocks.size());
      ASSERT_EQ(v.issues.size(), view.issues.size());
      for (size_t i = 0; i < v.issues.size(); ++i) {
        EXPECT_EQ(v.issues[i].text, view.issues[i].text);
        EXPECT_EQ(v.issues[i].offset, view.issues[i].offset);
      }
    }
  }
}

// A pull that fails ends the walk where it stands, and the source says so: what
// the walk told up to there is no verdict on the payload.
TEST(PayloadWalk, APullThatFailsEndsThePiecedWalk) {
  const std::vector<uint8_t> bytes = SoundPayload();
  for (const size_t fail_at : {size_t{0}, size_t{10}, Block(1) + 3, bytes.size() - 1}) {
    SCOPED_TRACE(fail_at);
    Pull pull{&bytes, 0, fail_at};
    PiecedPayload source(bytes.size(), 64, &Pull::Next, &pull);
    Events told;
    WalkListPayload(source, told);
    EXPECT_TRUE(source.failed());
    EXPECT_EQ(source.Bytes(0, 1), nullptr);
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
