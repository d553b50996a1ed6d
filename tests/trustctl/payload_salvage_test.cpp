// What a damaged payload still gives: every sound block before and behind
// the damage, one per key, and each damaged range named.
#include "view/payload_salvage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "blocklist/block_header.h"
#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "entry/hash_list.h"

namespace tl::ctl {
namespace {

constexpr size_t kBlocks = 6;

// A payload of hash list entries (fingerprints 0x100+i, 0x5000+i), as a
// commit stores it, optionally with block `repeat` stored twice in a row.
std::vector<uint8_t> HashPayload(size_t blocks, int repeat = -1) {
  std::vector<uint8_t> seq;
  uint8_t work[kHashBlockSize + 64] = {};
  for (size_t i = 0; i < blocks; ++i) {
    const uint32_t size =
        BuildHashBlock(work, 0x100 + static_cast<uint32_t>(i), 0x5000 + static_cast<uint32_t>(i));
    StampSerializedHeader(work);
    for (int copies = static_cast<int>(i) == repeat ? 2 : 1; copies > 0; --copies) {
      seq.insert(seq.end(), work, work + size);
    }
  }
  std::vector<uint8_t> payload(kPayloadHeaderBytes + seq.size() + kSequenceTerminatorSize, 0);
  StoreU16(payload.data(), kPayloadTagOffset, kPayloadTag);
  StoreU16(payload.data(), kPayloadCountOffset,
           static_cast<uint16_t>(blocks + (repeat >= 0 ? 1 : 0)));
  StoreU32(payload.data(), kPayloadBlocksSizeOffset,
           static_cast<uint32_t>(seq.size() + kSequenceTerminatorSize));
  std::copy(seq.begin(), seq.end(), payload.begin() + kPayloadHeaderBytes);
  return payload;
}

size_t OffsetOf(size_t block) { return kPayloadHeaderBytes + block * kHashBlockSize; }

std::vector<size_t> KeptOffsets(const PayloadSalvage& s) {
  std::vector<size_t> out;
  for (const SequenceBlock& b : s.kept) out.push_back(b.offset);
  return out;
}

// Every byte from the payload header to where the walk stopped lies in
// exactly one block kept, one duplicate or one range dropped: they follow one
// another without a gap or an overlap. Returns where the last one ends.
size_t Tiled(const PayloadSalvage& s, const uint8_t* data) {
  std::vector<std::pair<size_t, size_t>> ranges;
  for (const SequenceBlock& b : s.kept) ranges.emplace_back(b.offset, b.size);
  for (const SalvageDrop& d : s.dropped) ranges.emplace_back(d.offset, d.length);
  for (const SalvageDuplicate& d : s.duplicates) {
    ranges.emplace_back(d.offset, LoadU32(data, d.offset));  // as long as its size says
  }
  std::sort(ranges.begin(), ranges.end());
  size_t at = kPayloadHeaderBytes;
  for (const auto& [offset, length] : ranges) {
    EXPECT_EQ(offset, at);
    at = offset + length;
  }
  return at;
}

TEST(PayloadSalvageTest, ASoundPayloadIsKeptWhole) {
  const std::vector<uint8_t> p = HashPayload(kBlocks);
  const PayloadSalvage s = SalvagePayload(p.data(), p.size(), true);
  std::vector<size_t> all;
  for (size_t k = 0; k < kBlocks; ++k) all.push_back(OffsetOf(k));
  EXPECT_EQ(KeptOffsets(s), all);
  EXPECT_TRUE(s.dropped.empty());
  EXPECT_TRUE(s.duplicates.empty());
  EXPECT_TRUE(s.header_notes.empty());
  EXPECT_TRUE(s.terminated);
  const std::vector<uint8_t> empty = HashPayload(0);
  const PayloadSalvage e = SalvagePayload(empty.data(), empty.size(), true);
  EXPECT_TRUE(e.kept.empty() && e.dropped.empty() && e.header_notes.empty() && e.terminated);
}

// Each bit of a block's size, magic or transient field flipped, in each
// block: exactly that block is dropped, as one range at its offset, and the
// blocks before and behind it are kept.
TEST(PayloadSalvageTest, ADamagedBlockIsDroppedAloneWhereverItLies) {
  struct Field {
    const char* what;
    uint32_t offset;
    const char* reason;  // a part of the reason given
  };
  const Field fields[] = {
      {"size", kBlockSizeOffset, ""},
      {"magic", kBlockMagicOffset, "magic"},
      {"transient", kBlockTransientOffset, "transient"},
  };
  const std::vector<uint8_t> sound = HashPayload(kBlocks);
  for (const Field& f : fields) {
    for (size_t k = 0; k < kBlocks; ++k) {
      for (uint32_t bit = 0; bit < 32; ++bit) {
        SCOPED_TRACE(std::string(f.what) + " bit " + std::to_string(bit) + " of block " +
                     std::to_string(k));
        std::vector<uint8_t> p = sound;
        p[OffsetOf(k) + f.offset + bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        const PayloadSalvage s = SalvagePayload(p.data(), p.size(), true);
        std::vector<size_t> expected;
        for (size_t j = 0; j < kBlocks; ++j) {
          if (j != k) expected.push_back(OffsetOf(j));
        }
        EXPECT_EQ(KeptOffsets(s), expected);
        ASSERT_EQ(s.dropped.size(), 1u);
        EXPECT_EQ(s.dropped[0].offset, OffsetOf(k));
        EXPECT_EQ(s.dropped[0].length, kHashBlockSize);
        EXPECT_NE(s.dropped[0].reason.find(f.reason), std::string::npos) << s.dropped[0].reason;
        EXPECT_TRUE(s.terminated);
        EXPECT_EQ(Tiled(s, p.data()), p.size() - kSequenceTerminatorSize);
      }
    }
  }
}

TEST(PayloadSalvageTest, TheFirstOfTwoBlocksWithOneKeyIsKept) {
  const std::vector<uint8_t> p = HashPayload(4, 1);
  const PayloadSalvage s = SalvagePayload(p.data(), p.size(), true);
  EXPECT_EQ(KeptOffsets(s),
            (std::vector<size_t>{OffsetOf(0), OffsetOf(1), OffsetOf(3), OffsetOf(4)}));
  ASSERT_EQ(s.duplicates.size(), 1u);
  EXPECT_EQ(s.duplicates[0].offset, OffsetOf(2));
  EXPECT_EQ(s.duplicates[0].kept_index, 1u);
  EXPECT_EQ(s.duplicates[0].name, u"0000010100005001.*");
  EXPECT_EQ(s.duplicates[0].key, LoadU64(p.data(), OffsetOf(1) + kBlockKeyOffset));
  EXPECT_TRUE(s.dropped.empty());
  EXPECT_TRUE(s.header_notes.empty());
}

// The first part of a payload (a chain cut anywhere): the blocks it holds
// whole are kept, a block it ends inside is dropped, and no terminator is
// made up from zeros inside a block.
TEST(PayloadSalvageTest, APayloadReadInPartKeepsTheBlocksItHoldsWhole) {
  const std::vector<uint8_t> p = HashPayload(kBlocks);
  for (size_t cut = 0; cut < p.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    // A copy of exactly the part read, so that a read past it is caught.
    const std::vector<uint8_t> part(p.begin(), p.begin() + static_cast<ptrdiff_t>(cut));
    const PayloadSalvage s = SalvagePayload(part.data(), cut, false);
    std::vector<size_t> expected;
    for (size_t k = 0; k < kBlocks && OffsetOf(k) + kHashBlockSize <= cut; ++k) {
      expected.push_back(OffsetOf(k));
    }
    EXPECT_EQ(KeptOffsets(s), expected);
    EXPECT_FALSE(s.terminated);
    const size_t held = expected.empty() ? kPayloadHeaderBytes : expected.back() + kHashBlockSize;
    if (cut < kPayloadHeaderBytes) {
      EXPECT_EQ(s.dropped.size(), cut == 0 ? 0u : 1u);
      continue;
    }
    EXPECT_EQ(s.dropped.size(), cut > held ? 1u : 0u);
    EXPECT_EQ(Tiled(s, part.data()), cut);
  }
  // Read whole, the terminator ends it.
  EXPECT_TRUE(SalvagePayload(p.data(), p.size(), false).terminated);
}

// Damage to the payload header costs no entry: the list gets a new header.
TEST(PayloadSalvageTest, HeaderDamageIsNotedAndCostsNoBlock) {
  struct Case {
    const char* what;
    size_t offset;
    uint32_t defect;
  };
  const Case cases[] = {
      {"tag", kPayloadTagOffset, kPayloadBadTag},
      {"count", kPayloadCountOffset, kPayloadCountMismatch},
      {"blocks size", kPayloadBlocksSizeOffset + 1, kPayloadSizeMismatch},
      {"reserved", kPayloadReservedOffset + 3, kPayloadReservedNonZero},
      {"terminator", 16 + kBlocks * kHashBlockSize, kPayloadNoTerminator},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> p = HashPayload(kBlocks);
    p[c.offset] ^= 0x10;
    const PayloadSalvage s = SalvagePayload(p.data(), p.size(), true);
    EXPECT_EQ(s.kept.size(), kBlocks);
    EXPECT_TRUE(s.dropped.empty());
    EXPECT_EQ(s.header_notes, std::vector<std::string>{PayloadDefectText(c.defect)});
  }
  const std::vector<uint8_t> p = HashPayload(kBlocks);
  const PayloadSalvage s = SalvagePayload(p.data(), 10, true);
  EXPECT_EQ(s.header_notes, std::vector<std::string>{PayloadDefectText(kPayloadTooShort)});
  ASSERT_EQ(s.dropped.size(), 1u);
  EXPECT_EQ(s.dropped[0].length, 10u);
}

// Random damage of any extent: never a read outside the bytes (the sanitizer
// builds watch), every block kept passes the walk's checks and lies inside,
// and the walk accounts for every byte it passes.
TEST(PayloadSalvageTest, RandomDamageIsAccountedForByteByByte) {
  const std::vector<uint8_t> sound = HashPayload(kBlocks);
  std::mt19937 random(11);
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<uint8_t> p = sound;
    const int flips = 1 + trial % 40;
    for (int i = 0; i < flips; ++i) p[random() % p.size()] ^= static_cast<uint8_t>(random());
    const bool whole = trial % 3 != 0;
    if (!whole) p.resize(random() % p.size());
    const size_t len = p.size();
    const PayloadSalvage s = SalvagePayload(p.data(), len, whole);
    for (const SequenceBlock& b : s.kept) {
      ASSERT_LE(b.offset + b.size, len);
      EXPECT_EQ(BlockFramingDefects(p.data() + b.offset, len - b.offset), 0u);
    }
    if (len < kPayloadHeaderBytes) continue;
    // Read whole, the walk ends at the end or in front of the terminator's
    // place; read in part, where the bytes end or where the header says.
    const size_t stop = Tiled(s, p.data());
    EXPECT_LE(stop, len);
    if (whole) {
      EXPECT_TRUE(stop == len || stop + kSequenceTerminatorSize == len) << stop;
    }
  }
}

}  // namespace
}  // namespace tl::ctl
