#include "blocklist/program_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "blocklist/program_block_decode.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "fingerprint/reference_crc32.h"

namespace tl {
namespace {

using test::ReferenceNameKey;

TEST(ProgramBlockNameKey, KnownValuesAndFolding) {
  EXPECT_EQ(ComputeNameKey(u"ABC"), 0xAD957AB0u);
  EXPECT_EQ(ComputeNameKey(u"abc"), 0xAD957AB0u);
  EXPECT_EQ(ComputeNameKey(u""), 0u);
  EXPECT_EQ(ComputeNameKey(nullptr), 0u);

  struct Case {
    std::u16string a, b;
    bool same;
  } cases[] = {
      {u"App.EXE@*", u"app.exe@*", true},
      {u"ZZ@[`{", u"zz@[`{", true},                 // only 'A'..'Z' fold; neighbours stay
      {u"@", u"`", false},                          // 0x40 / 0x60 are not letters
      {u"[", u"{", false},                          // 0x5B / 0x7B
      {u"\u00C9t\u00E9", u"\u00E9t\u00E9", false},  // accented letters keep their case
      {u"\u0130", u"i", false},
  };
  for (const auto& c : cases) {
    const uint32_t ka = ComputeNameKey(c.a.c_str());
    const uint32_t kb = ComputeNameKey(c.b.c_str());
    EXPECT_EQ(ka == kb, c.same) << std::string(c.a.begin(), c.a.end());
    EXPECT_EQ(ka, ReferenceNameKey(c.a));
    EXPECT_EQ(kb, ReferenceNameKey(c.b));
  }
}

TEST(ProgramBlockNameKey, LengthLimit) {
  // 32767 units is the longest name with a key; one more unit gives 0.
  for (size_t n :
       {size_t{1}, size_t{4095}, size_t{4096}, size_t{32767}, size_t{32768}, size_t{40000}}) {
    std::u16string name(n, u'Q');
    const uint32_t expected = n < kNameKeyMaxUnits ? ReferenceNameKey(name) : 0;
    EXPECT_EQ(ComputeNameKey(name.c_str()), expected) << n;
  }
}

TEST(ProgramBlockNameKey, AllocationFailureGivesZero) {
  SetAllocFailureAt(1);
  EXPECT_EQ(ComputeNameKey(u"abc"), 0u);
  SetAllocFailureAt(0);
  EXPECT_EQ(ComputeNameKey(u"abc"), 0xAD957AB0u);
}

// Builds a record in a zeroed work area of `capacity` bytes.
struct Built {
  std::vector<uint8_t> work;
  uint32_t units = 0;
  explicit Built(size_t capacity = 4096) : work(capacity, 0) { PbBeginRecord(work.data()); }
  uint16_t Add(const std::u16string& s) {
    uint16_t off = 0xBEEF;
    EXPECT_TRUE(PbAppendPoolEntry(work.data(), work.size(), &units, s.data(), s.size(), &off));
    return off;
  }
};

TEST(ProgramBlockPool, EntriesLayOutCountUnitsAndTerminator) {
  Built b;
  EXPECT_EQ(b.Add(u"app.exe@*"), 0);
  EXPECT_EQ(b.units, 11u);
  EXPECT_EQ(b.Add(u""), 11);  // an empty entry still takes its count and terminator
  EXPECT_EQ(b.Add(u"xy"), 13);
  EXPECT_EQ(b.units, 17u);
  const uint8_t* r = b.work.data();
  EXPECT_EQ(LoadU16(r, 52), 152);
  EXPECT_EQ(LoadU16(r, 152), 9);
  EXPECT_EQ(LoadU16(r, 154), u'a');
  EXPECT_EQ(LoadU16(r, 154 + 2 * 8), u'*');
  EXPECT_EQ(LoadU16(r, 154 + 2 * 9), 0);
  EXPECT_EQ(LoadU16(r, 152 + 2 * 11), 0);
  EXPECT_EQ(LoadU16(r, 152 + 2 * 13), 2);
  EXPECT_EQ(LoadU16(r, 152 + 2 * 14), u'x');
  EXPECT_EQ(LoadU16(r, 152 + 2 * 16), 0);

  const uint32_t size = PbFinishRecord(b.work.data(), b.units, u"app.exe@*");
  EXPECT_EQ(size, 160u + 2 * 17);
  EXPECT_EQ(LoadU32(r, 0), size);
  EXPECT_EQ(LoadU16(r, 4), 2);
  EXPECT_EQ(LoadU64(r, 24), uint64_t{ReferenceNameKey(u"app.exe@*")});
  // Nothing beyond the record's end was touched.
  for (size_t i = size; i < b.work.size(); ++i) ASSERT_EQ(b.work[i], 0) << i;
}

TEST(ProgramBlockPool, HashNameRecordIs200Bytes) {
  Built b;
  b.Add(u"000020001234abcd.*");
  EXPECT_EQ(PbFinishRecord(b.work.data(), b.units, u"000020001234abcd.*"), 200u);
}

TEST(ProgramBlockPool, RefusesWhatDoesNotFit) {
  // 160 + 2 * (3 + 2) = 170 bytes needed for a 3-unit entry.
  for (size_t capacity : {size_t{169}, size_t{170}}) {
    std::vector<uint8_t> work(capacity + 16, 0xEE);
    uint32_t units = 0;
    uint16_t off = 7;
    const bool ok = PbAppendPoolEntry(work.data(), capacity, &units, u"abc", 3, &off);
    EXPECT_EQ(ok, capacity >= 170);
    EXPECT_EQ(units, ok ? 5u : 0u);
    EXPECT_EQ(off, ok ? 0 : 7);
    for (size_t i = capacity; i < work.size(); ++i) ASSERT_EQ(work[i], 0xEE);
  }
  // An entry whose offset would not fit 16 bits is refused.
  std::vector<uint8_t> big(kPbFixedBytes + 2 * 0x10010, 0);
  uint32_t units = 0x10000;
  uint16_t off = 0;
  EXPECT_FALSE(PbAppendPoolEntry(big.data(), big.size(), &units, u"a", 1, &off));
  EXPECT_EQ(units, 0x10000u);
}

// A complete record as the program builder makes it, for the decoder tests.
std::vector<uint8_t> SampleRecord() {
  Built b;
  uint8_t* r = b.work.data();
  b.Add(u"tool.exe@*");
  StoreU16(r, kPbTokenOffsetsOffset, b.Add(u"alpha"));
  StoreU16(r, kPbTokenOffsetsOffset + 2, b.Add(u"beta"));
  StoreU16(r, kPbText1OffsetOffset, b.Add(u"first"));
  StoreU16(r, kPbText3OffsetOffset, b.Add(u"third"));
  StoreU32(r, kPbFlagsOffset, PB_TOKENS | PB_TEXT1 | PB_TEXT3 | PB_VALUE | PB_FINGERPRINT);
  StoreU32(r, kPbValueOffset, 77);
  StoreU64(r, kPbFingerprintOffset, 0x0000138812345678ull);
  const uint32_t size = PbFinishRecord(r, b.units, u"tool.exe@*");
  b.work.resize(size);
  return b.work;
}

TEST(ProgramBlockDecode, SoundRecordRoundTrips) {
  const auto rec = SampleRecord();
  DecodedProgramBlock d;
  ASSERT_TRUE(DecodeProgramBlock(rec.data(), rec.size(), &d));
  EXPECT_EQ(d.defects, 0u);
  EXPECT_EQ(d.size, rec.size());
  EXPECT_EQ(d.kind, 2);
  EXPECT_EQ(d.key, uint64_t{ReferenceNameKey(u"tool.exe@*")});
  EXPECT_EQ(d.name, u"tool.exe@*");
  EXPECT_EQ(d.tokens, (std::vector<std::u16string>{u"alpha", u"beta"}));
  EXPECT_EQ(d.text1, std::u16string(u"first"));
  EXPECT_FALSE(d.text2.has_value());
  EXPECT_EQ(d.text3, std::u16string(u"third"));
  EXPECT_EQ(d.value, 77u);
  EXPECT_EQ(d.fingerprint, 0x0000138812345678ull);
  EXPECT_EQ(d.pool_units, (rec.size() - 160) / 2);
}

TEST(ProgramBlockDecode, ReportsStructuralDefects) {
  const auto sound = SampleRecord();
  const uint32_t size = static_cast<uint32_t>(sound.size());
  struct Case {
    const char* what;
    void (*mutate)(std::vector<uint8_t>&);
    uint32_t defect;
    bool decodes;
  } cases[] = {
      {"size 46", [](auto& r) { StoreU32(r.data(), 0, 46); },
       kPbDefectSizeRange | kPbDefectSizeShape, false},
      {"size past buffer", [](auto& r) { StoreU32(r.data(), 0, LoadU32(r.data(), 0) + 2); },
       kPbDefectSizeBeyondBuffer, false},
      {"size odd",
       [](auto& r) {
         r.push_back(0);
         StoreU32(r.data(), 0, static_cast<uint32_t>(r.size()));
       },
       kPbDefectSizeShape, false},
      {"size 158", [](auto& r) { StoreU32(r.data(), 0, 158); }, kPbDefectSizeShape, false},
      {"size huge", [](auto& r) { StoreU32(r.data(), 0, 0x80000002u); },
       kPbDefectSizeRange | kPbDefectSizeBeyondBuffer, false},
      {"poolOffset", [](auto& r) { StoreU16(r.data(), 52, 150); }, kPbDefectPoolOffset, true},
      {"unknown flag", [](auto& r) { StoreU32(r.data(), 48, LoadU32(r.data(), 48) | 0x100); },
       kPbDefectUnknownFlags, true},
      {"entry count too long", [](auto& r) { StoreU16(r.data(), 152, 0x7FFF); },
       kPbDefectPoolOverrun | kPbDefectBadOffset, true},
      {"token offset mid-entry", [](auto& r) { StoreU16(r.data(), 128, 3); }, kPbDefectBadOffset,
       true},
      {"text offset past pool", [](auto& r) { StoreU16(r.data(), 126, 0x7000); },
       kPbDefectBadOffset, true},
      {"terminator", [](auto& r) { StoreU16(r.data(), 152 + 2 * 11, u'x'); },
       kPbDefectEntryTerminator, true},
      {"reserved", [](auto& r) { r[100] = 1; }, kPbDefectReservedNonZero, true},
      {"trailer", [](auto& r) { r[r.size() - 1] = 1; }, kPbDefectReservedNonZero, true},
  };
  for (const auto& c : cases) {
    auto rec = sound;
    c.mutate(rec);
    DecodedProgramBlock d;
    EXPECT_EQ(DecodeProgramBlock(rec.data(), rec.size(), &d), c.decodes) << c.what;
    EXPECT_EQ(d.defects, c.defect) << c.what;
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
      if (d.defects & bit) {
        EXPECT_STRNE(PbDefectText(bit), "") << c.what;
      }
    }
  }
  // A buffer shorter than the fixed part, and one that cuts the pool.
  DecodedProgramBlock d;
  EXPECT_FALSE(DecodeProgramBlock(sound.data(), 100, &d));
  EXPECT_EQ(d.defects, kPbDefectTooShort);
  EXPECT_FALSE(DecodeProgramBlock(sound.data(), size - 1, &d));
  EXPECT_EQ(d.defects, kPbDefectSizeBeyondBuffer);
}

bool SameDecode(const DecodedProgramBlock& a, const DecodedProgramBlock& b) {
  return a.size == b.size && a.kind == b.kind && a.loadedTag == b.loadedTag && a.magic == b.magic &&
         a.key == b.key && a.transient == b.transient && a.flags == b.flags &&
         a.poolOffset == b.poolOffset && a.linkTimeStamp == b.linkTimeStamp && a.value == b.value &&
         a.valueSecond == b.valueSecond && a.fingerprint == b.fingerprint &&
         a.nameOffset == b.nameOffset && a.text1Offset == b.text1Offset &&
         a.text2Offset == b.text2Offset && a.text3Offset == b.text3Offset &&
         std::equal(a.tokenOffsets, a.tokenOffsets + 4, b.tokenOffsets) && a.name == b.name &&
         a.tokens == b.tokens && a.text1 == b.text1 && a.text2 == b.text2 && a.text3 == b.text3 &&
         a.pool_units == b.pool_units && a.defects == b.defects;
}

// Walkers decode every block of a list into one result: what a decode leaves
// must not depend on what the result held before, whatever the two records
// are (texts and tokens or none, damaged, cut short, a pool too large for the
// inline note of entry starts).
TEST(ProgramBlockDecode, DecodingIntoAUsedResultLeavesNothingBehind) {
  std::vector<std::vector<uint8_t>> records = {SampleRecord()};
  {
    Built b;
    b.Add(u"n");
    records.push_back(std::vector<uint8_t>(
        b.work.begin(), b.work.begin() + PbFinishRecord(b.work.data(), b.units, u"n")));
  }
  {
    Built b(8192);
    const std::u16string longer(1500, u'x');  // more than 1024 pool units
    b.Add(longer);
    StoreU16(b.work.data(), kPbText2OffsetOffset, b.Add(u"second"));
    StoreU32(b.work.data(), kPbFlagsOffset, PB_TEXT2);
    records.push_back(std::vector<uint8_t>(
        b.work.begin(), b.work.begin() + PbFinishRecord(b.work.data(), b.units, longer.c_str())));
  }
  auto damaged = SampleRecord();
  StoreU16(damaged.data(), 128, 3);  // a token offset mid-entry
  records.push_back(damaged);
  auto cut = SampleRecord();
  cut.resize(100);
  records.push_back(cut);
  for (size_t first = 0; first < records.size(); ++first) {
    for (size_t second = 0; second < records.size(); ++second) {
      SCOPED_TRACE(testing::Message() << first << " then " << second);
      DecodedProgramBlock reused, fresh;
      DecodeProgramBlock(records[first].data(), records[first].size(), &reused);
      const bool a = DecodeProgramBlock(records[second].data(), records[second].size(), &reused);
      const bool b = DecodeProgramBlock(records[second].data(), records[second].size(), &fresh);
      EXPECT_EQ(a, b);
      EXPECT_TRUE(SameDecode(reused, fresh));
    }
  }
  DecodedProgramBlock big;
  ASSERT_TRUE(DecodeProgramBlock(records[2].data(), records[2].size(), &big));
  EXPECT_EQ(big.defects, 0u);
  EXPECT_EQ(big.name.size(), 1500u);
  EXPECT_EQ(big.text2, std::u16string(u"second"));
}

TEST(ProgramBlockDecode, ZeroTokenSlotsAreEmpty) {
  Built b;
  b.Add(u"n");
  StoreU32(b.work.data(), kPbFlagsOffset, PB_TOKENS);
  const uint32_t size = PbFinishRecord(b.work.data(), b.units, u"n");
  DecodedProgramBlock d;
  ASSERT_TRUE(DecodeProgramBlock(b.work.data(), size, &d));
  EXPECT_EQ(d.defects, 0u);
  EXPECT_TRUE(d.tokens.empty());
}

}  // namespace
}  // namespace tl
