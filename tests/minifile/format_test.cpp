// Creation parameters, header making and checking, geometry, key generator, RC4.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/crc32.h"
#include "common/le.h"
#include "minifile/creation_parameters.h"
#include "minifile/header.h"
#include "minifile/key_generator.h"
#include "minifile/rc4.h"
#include "minifile_test_util.h"

namespace tl {
namespace {

TEST(CreationParametersTest, NormalizesTableBlockAndDirectory) {
  struct Case {
    uint32_t block, table, dir;
    uint32_t want_block, want_table, want_dir;
  };
  const Case cases[] = {
      {0x100000, 32, 4, 0x100000, 32, 4},  // the commit's values stay
      {0, 0, 0, 512, 16, 1},
      {1, 14, 1, 512, 16, 1},
      {511, 15, 2, 512, 32, 2},  // +17, not +15: 15 becomes 32
      {513, 17, 3, 1024, 32, 3},
      {1024, 30, 5, 1024, 32, 5},
      {0xFFFFFFFF, 16, 8, 512, 16, 8},  // raising wraps to 0: 512
      {0xFFFFFE01, 48, 8, 512, 48, 8},  // same wrap from just above the last multiple
      {0xFFFFFE00, 0xFFFFFFFF, 8, 0xFFFFFE00, 16, 8},
  };
  test::ParamsScope restore(0x4000, 1024, 8);
  for (const Case& c : cases) {
    CreationParameters p{20, c.block, c.table, c.dir, 7};
    SetCreationParameters(&p);
    const CreationParameters got = GetCreationParameters();
    EXPECT_EQ(got.blockSize, c.want_block) << c.block;
    EXPECT_EQ(got.tableEntries, c.want_table) << c.table;
    EXPECT_EQ(got.directoryEntries, c.want_dir) << c.dir;
    EXPECT_EQ(got.padLastBlock, 7u);
  }
}

TEST(CreationParametersTest, CopiesOnlyCbSizeBytesAndIgnoresOversizedRecords) {
  test::ParamsScope restore(0x4000, 1024, 8);
  CreationParameters big{21, 512, 16, 1, 1};
  SetCreationParameters(&big);
  EXPECT_EQ(GetCreationParameters().blockSize, 0x4000u);
  // 8 bytes: cbSize and blockSize only; the rest keep their values.
  CreationParameters part{8, 0x100000, 99, 99, 99};
  SetCreationParameters(&part);
  const CreationParameters got = GetCreationParameters();
  EXPECT_EQ(got.cbSize, 8u);
  EXPECT_EQ(got.blockSize, 0x100000u);
  EXPECT_EQ(got.tableEntries, 1024u);
  EXPECT_EQ(got.directoryEntries, 8u);
  SetCreationParameters(nullptr);  // nothing happens
  EXPECT_EQ(GetCreationParameters().blockSize, 0x100000u);
}

TEST(HeaderTest, FreshHeaderLayout) {
  test::ParamsScope params(0x100000, 32, 4);
  uint8_t h[kHeaderSize];
  std::memset(h, 0xAA, sizeof h);
  MiniFileInitHeader(h);
  EXPECT_EQ(LoadU32(h, 0), 0x5A65564Bu);
  EXPECT_EQ(std::memcmp(h, "KVeZ", 4), 0);  // 'ZeVK' little-endian
  EXPECT_EQ(LoadU32(h, 4), 0x10000u);
  EXPECT_EQ(LoadU32(h, 8), 0u);
  EXPECT_EQ(LoadU32(h, 12), 0u);
  EXPECT_EQ(std::memcmp(h + 16, "MiniFile Library", 16), 0);
  EXPECT_EQ(LoadU32(h, 48), 32u);
  EXPECT_EQ(LoadU32(h, 52), 0x100000u);
  EXPECT_EQ(LoadU32(h, 56), 4u);
  for (uint32_t k = 60; k < 112; ++k) EXPECT_EQ(h[k], 0) << k;
  for (uint32_t k = 116; k < 128; ++k) EXPECT_EQ(h[k], 0) << k;
  EXPECT_EQ(LoadU32(h, 112), Crc32(h, 112));
  EXPECT_EQ(MiniFileCheckHeader(h), 1);

  Geometry g;
  ASSERT_TRUE(GeometryFromHeader(h, &g));
  EXPECT_EQ(g.dir_offset, 192u);
  EXPECT_EQ(g.data_offset, 448u);
  EXPECT_EQ(g.BlockOffset(2), 448u);
  EXPECT_EQ(g.BlockOffset(31), 448u + 29u * 0x100000u);
}

TEST(HeaderTest, CheckAcceptsOnlyMagicVersionAndCrc) {
  uint8_t h[kHeaderSize];
  MiniFileInitHeader(h);
  auto with_version = [&](uint32_t v) {
    uint8_t c[kHeaderSize];
    std::memcpy(c, h, sizeof c);
    StoreU32(c, 4, v);
    StoreU32(c, 112, Crc32(c, 112));
    return MiniFileCheckHeader(c);
  };
  EXPECT_EQ(with_version(0), 1);
  EXPECT_EQ(with_version(0x10000), 1);
  EXPECT_EQ(with_version(0x10001), 0);
  EXPECT_EQ(with_version(0xFFFFFFFF), 0);
  // Every byte of 0..115 takes part: in the CRC range or in the CRC itself.
  for (uint32_t k = 0; k < 116; ++k) {
    uint8_t c[kHeaderSize];
    std::memcpy(c, h, sizeof c);
    c[k] ^= 0x01;
    EXPECT_EQ(MiniFileCheckHeader(c), 0) << "byte " << k;
  }
  // Bytes 116..127 are not examined.
  uint8_t c[kHeaderSize];
  std::memcpy(c, h, sizeof c);
  c[120] = 0x55;
  EXPECT_EQ(MiniFileCheckHeader(c), 1);
}

TEST(HeaderTest, GeometryRefusesCountsOutsideTheFormat) {
  struct Case {
    uint32_t table, block, dir;
    bool ok;
  };
  const Case cases[] = {
      {32, 0x100000, 4, true},
      {3, 512, 1, true},   // one data block
      {2, 512, 1, false},  // no data block
      {0, 512, 1, false},
      {65535, 512, 1, true},   // the largest table
      {65536, 512, 1, false},  // would be cut to 16 bits
      {0x10010, 512, 1, false},
      {32, 0, 4, false},                         // block size 0
      {32, 512, 0, false},                       // no directory
      {3, 0x80000000u - 128 - 6 - 64, 1, true},  // data area ends exactly at 2 GiB
      {3, 0x80000000u - 128 - 6 - 64 + 1, 1, false},
      {32, 0xFFFFFFE0, 4, false},    // B + 32 would wrap
      {32, 512, 0x04000000, false},  // 64 * D wraps 32 bits
      {32, 512, 0x02000000, false},  // directory alone reaches 2 GiB
      {65535, 0x10000, 1, false},    // 64 K blocks of 64 KiB: 4 GiB
  };
  for (const Case& c : cases) {
    uint8_t h[kHeaderSize] = {};
    StoreU32(h, kHeaderTableEntriesOffset, c.table);
    StoreU32(h, kHeaderBlockSizeOffset, c.block);
    StoreU32(h, kHeaderDirEntriesOffset, c.dir);
    Geometry g;
    EXPECT_EQ(GeometryFromHeader(h, &g), c.ok) << c.table << " " << c.block << " " << c.dir;
    if (c.ok) {
      EXPECT_LE(uint64_t{g.data_offset} + uint64_t{c.table - 2} * c.block, 0x80000000ull);
    }
  }
  // Block 0xFFFE is never a data block: its link value is entry 1's marker.
  uint8_t h[kHeaderSize] = {};
  StoreU32(h, kHeaderTableEntriesOffset, 65535);
  StoreU32(h, kHeaderBlockSizeOffset, 512);
  StoreU32(h, kHeaderDirEntriesOffset, 1);
  Geometry g;
  ASSERT_TRUE(GeometryFromHeader(h, &g));
  EXPECT_TRUE(g.IsDataBlock(0xFFFD));
  EXPECT_FALSE(g.IsDataBlock(0xFFFE));
}

TEST(KeyGeneratorTest, FollowsTheLinearCongruentialSequence) {
  uint8_t first[kHeaderSize];
  MiniFileInitHeader(first);  // seeds from the clock once per process
  const uint32_t seed_value = KeyGeneratorSeedValue();
  SeedKeyGenerator(1);
  uint8_t k[4];
  DrawKeyBytes(k, 4);
  // Draws from state 1: 41, 18467, 6334, 26500; their low bytes.
  EXPECT_EQ(k[0], 41 & 0xFF);
  EXPECT_EQ(k[1], 18467 & 0xFF);
  EXPECT_EQ(k[2], 6334 & 0xFF);
  EXPECT_EQ(k[3], 26500 & 0xFF);
  // Later headers continue the sequence; they do not reseed.
  EXPECT_EQ(KeyGeneratorSeedValue(), seed_value);
}

TEST(KeyGeneratorTest, ConsecutiveHeadersHaveDifferentKeys) {
  uint8_t a[kHeaderSize], b[kHeaderSize];
  MiniFileInitHeader(a);
  MiniFileInitHeader(b);
  EXPECT_NE(std::memcmp(a + kHeaderKeyOffset, b + kHeaderKeyOffset, kHeaderKeySize), 0);
  EXPECT_NE(KeyGeneratorSeedValue(), 0u);
}

// Published keystream bytes (RFC 6229) for the 64-bit key 0x0102030405060708.
TEST(Rc4Test, MatchesPublishedVectors) {
  const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  struct Vector {
    uint32_t offset;
    uint8_t bytes[16];
  };
  const Vector vectors[] = {
      {0,
       {0x97, 0xab, 0x8a, 0x1b, 0xf0, 0xaf, 0xb9, 0x61, 0x32, 0xf2, 0xf6, 0x72, 0x58, 0xda, 0x15,
        0xa8}},
      {16,
       {0x82, 0x63, 0xef, 0xdb, 0x45, 0xc4, 0xa1, 0x86, 0x84, 0xef, 0x87, 0xe6, 0xb1, 0x9e, 0x5b,
        0x09}},
      {240,
       {0x96, 0x36, 0xeb, 0xc9, 0x84, 0x19, 0x26, 0xf4, 0xf7, 0xd1, 0xf3, 0x62, 0xbd, 0xdf, 0x6e,
        0x18}},
      {256,
       {0xd0, 0xa9, 0x90, 0xff, 0x2c, 0x05, 0xfe, 0xf5, 0xb9, 0x03, 0x73, 0xc9, 0xff, 0x4b, 0x87,
        0x0a}},
      {496,
       {0x73, 0x23, 0x9f, 0x1d, 0xb7, 0xf4, 0x1d, 0x80, 0xb6, 0x43, 0xc0, 0xc5, 0x25, 0x18, 0xec,
        0x63}},
      {512,
       {0x16, 0x3b, 0x31, 0x99, 0x23, 0xa6, 0xbd, 0xb4, 0x52, 0x7c, 0x62, 0x61, 0x26, 0x70, 0x3c,
        0x0f}},
  };
  // One call over the whole range, and the same range in uneven pieces: the
  // state must carry the keystream across calls.
  std::vector<uint8_t> zeros(528, 0), whole(528), pieces(528);
  Rc4State s;
  Rc4SetKey(&s, key);
  Rc4Crypt(&s, 528, zeros.data(), whole.data());
  Rc4SetKey(&s, key);
  const uint32_t cuts[] = {1, 7, 100, 250, 170};
  uint32_t at = 0;
  for (uint32_t n : cuts) {
    Rc4Crypt(&s, n, zeros.data() + at, pieces.data() + at);
    at += n;
  }
  ASSERT_EQ(at, 528u);
  EXPECT_EQ(whole, pieces);
  for (const Vector& v : vectors) {
    EXPECT_EQ(std::memcmp(whole.data() + v.offset, v.bytes, 16), 0) << "offset " << v.offset;
  }
  // In place, and back again.
  std::vector<uint8_t> data = test::Pattern(1000, 3), copy = data;
  Rc4SetKey(&s, key);
  Rc4Crypt(&s, 1000, data.data(), data.data());
  EXPECT_NE(data, copy);
  Rc4SetKey(&s, key);
  Rc4Crypt(&s, 1000, data.data(), data.data());
  EXPECT_EQ(data, copy);
}

}  // namespace
}  // namespace tl
