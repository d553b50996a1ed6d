#include "entry/program_builder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "blocklist/program_block.h"
#include "blocklist/program_block_decode.h"
#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "fingerprint/reference_crc32.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::ReferenceNameKey;

// A caller's description record of exactly cbSize bytes (so a read past it is
// a sanitizer finding).
struct Description {
  std::vector<uint8_t> bytes;
  explicit Description(uint32_t cb_size = 2048) : bytes(cb_size, 0) {
    StoreU32(bytes.data(), kPdCbSizeOffset, cb_size);
  }
  Description& Str(size_t offset, const std::u16string& s, bool terminate = true) {
    for (size_t i = 0; i < s.size(); ++i) StoreU16(bytes.data(), offset + 2 * i, s[i]);
    if (terminate) StoreU16(bytes.data(), offset + 2 * s.size(), 0);
    return *this;
  }
  Description& U32(size_t offset, uint32_t v) {
    StoreU32(bytes.data(), offset, v);
    return *this;
  }
  Description& Address(size_t offset, const std::u16string* path) {
    StoreU64(bytes.data(), offset, reinterpret_cast<uintptr_t>(path->c_str()));
    return *this;
  }
  uint64_t U64At(size_t offset) const { return LoadU64(bytes.data(), offset); }
};

struct BuildOutcome {
  int32_t result = -1;
  DecodedProgramBlock block;
};

BuildOutcome Build(Description& d) {
  std::vector<uint8_t> work(kProgramWorkBytes, 0xA5);
  BuildOutcome out;
  uint32_t size = 0;
  out.result = BuildProgramBlock(d.bytes.data(), work.data(), &size);
  if (out.result == 1) {
    EXPECT_TRUE(DecodeProgramBlock(work.data(), size, &out.block));
    EXPECT_EQ(out.block.defects, 0u);
    EXPECT_EQ(out.block.size, size);
  }
  return out;
}

TEST(ProgramBuilder, RefusesSmallRecordsAndDescriptionsWithoutAttributes) {
  const std::u16string file = u"/no/such/file";
  Description small(2047);
  small.Str(kPdPathOffset, u"app.exe").U32(kPdValueSingleOffset, 5);
  small.Address(kPdFingerprintFileOffset, &file);
  const auto before = small.bytes;
  EXPECT_EQ(Build(small).result, 0);
  EXPECT_EQ(small.bytes, before);  // nothing written back

  Description only_path;
  only_path.Str(kPdPathOffset, u"C:\\Tools\\app.exe");
  EXPECT_EQ(Build(only_path).result, 0);

  Description only_second;
  only_second.Str(kPdPathOffset, u"app.exe").U32(kPdValuePairSecondOffset, 9);
  EXPECT_EQ(Build(only_second).result, 0);
}

TEST(ProgramBuilder, NameFromPath) {
  const struct {
    std::u16string path, name;
  } cases[] = {
      {u"C:\\Tools\\app.exe", u"app.exe@*"},
      {u"app.exe", u"app.exe"},
      {u"C:\\Tools\\", u"@*"},
      {u"", u""},
      {u"C:/unix/style.exe", u"C:/unix/style.exe"},  // only backslashes divide
      {u"\\\\server\\share\\x", u"x@*"},
  };
  for (const auto& c : cases) {
    Description d;
    d.Str(kPdPathOffset, c.path).U32(kPdValueSingleOffset, 1);
    const auto out = Build(d);
    ASSERT_EQ(out.result, 1);
    EXPECT_EQ(out.block.name, c.name);
    EXPECT_EQ(out.block.key, uint64_t{ReferenceNameKey(c.name)});
    EXPECT_EQ(out.block.kind, 2);
    EXPECT_EQ(out.block.size, 160u + 2 * (c.name.size() + 2));
  }
}

TEST(ProgramBuilder, Tokens) {
  const struct {
    std::u16string list;
    std::vector<std::u16string> tokens;
    bool flagged;
  } cases[] = {
      {u";;a;;b;c;d;e", {u"a", u"b", u"c", u"d"}, true},
      {u";;;", {}, true},
      {u"one", {u"one"}, true},
      {u"x y;z", {u"x y", u"z"}, true},
      {u"", {}, false},
  };
  for (const auto& c : cases) {
    Description d;
    d.Str(kPdPathOffset, u"p").Str(kPdTokenListOffset, c.list).U32(kPdValueSingleOffset, 3);
    const auto out = Build(d);
    ASSERT_EQ(out.result, 1);
    EXPECT_EQ(out.block.tokens, c.tokens);
    EXPECT_EQ((out.block.flags & PB_TOKENS) != 0, c.flagged);
  }
  // Only separators: still an attribute of its own.
  Description d;
  d.Str(kPdPathOffset, u"p").Str(kPdTokenListOffset, u";");
  const auto out = Build(d);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.block.flags, PB_TOKENS);
  for (uint16_t slot : out.block.tokenOffsets) EXPECT_EQ(slot, 0);
}

TEST(ProgramBuilder, ValuesAndPoolOrder) {
  Description d;
  d.Str(kPdPathOffset, u"C:\\a\\b.exe")
      .U32(kPdValueSingleOffset, 5)
      .U32(kPdValuePairFirstOffset, 7)
      .U32(kPdValuePairSecondOffset, 9)
      .Str(kPdTokenListOffset, u"t1;t2")
      .Str(kPdText1Offset, u"one")
      .Str(kPdText2Offset, u"two")
      .Str(kPdText3Offset, u"three");
  const auto out = Build(d);
  ASSERT_EQ(out.result, 1);
  const auto& b = out.block;
  EXPECT_EQ(b.flags, PB_VALUE | PB_VALUE_PAIR | PB_TOKENS | PB_TEXT1 | PB_TEXT2 | PB_TEXT3);
  EXPECT_EQ(b.value, 7u);
  EXPECT_EQ(b.valueSecond, 9u);
  // name (0), t1, t2, text1, text2, text3: each entry right after the previous.
  EXPECT_EQ(b.tokenOffsets[0], 7 + 2);  // "b.exe@*"
  EXPECT_EQ(b.tokenOffsets[1], b.tokenOffsets[0] + 4);
  EXPECT_EQ(b.text1Offset, b.tokenOffsets[1] + 4);
  EXPECT_EQ(b.text2Offset, b.text1Offset + 5);
  EXPECT_EQ(b.text3Offset, b.text2Offset + 5);
  EXPECT_EQ(b.pool_units, b.text3Offset + 7u);
  EXPECT_EQ(b.text1, std::u16string(u"one"));
  EXPECT_EQ(b.text2, std::u16string(u"two"));
  EXPECT_EQ(b.text3, std::u16string(u"three"));
}

// Strings are taken only inside their fields: an unterminated one ends where
// its field ends, never in the next field or past the record.
TEST(ProgramBuilder, UnterminatedStringsStayInTheirFields) {
  Description d;  // exactly 2048 bytes
  d.Str(kPdPathOffset, std::u16string(260, u'p'), false)
      .U32(kPdValueSingleOffset, 0x00410041)  // would read as "AA" after the path
      .Str(kPdTokenListOffset, std::u16string(260, u't'), false)
      .Str(kPdText1Offset, std::u16string(64, u'1'), false)
      .Str(kPdText2Offset, std::u16string(64, u'2'), false)
      .Str(kPdText3Offset, std::u16string((2048 - 1416) / 2, u'3'), false);
  const auto out = Build(d);
  ASSERT_EQ(out.result, 1);
  EXPECT_EQ(out.block.name, std::u16string(260, u'p'));
  ASSERT_EQ(out.block.tokens.size(), 1u);
  EXPECT_EQ(out.block.tokens[0], std::u16string(260, u't'));
  EXPECT_EQ(out.block.text1, std::u16string(64, u'1'));
  EXPECT_EQ(out.block.text2, std::u16string(64, u'2'));
  EXPECT_EQ(out.block.text3, std::u16string(316, u'3'));

  // A larger record lets text3 run on, cut at 599 units.
  Description big(4096);
  big.Str(kPdPathOffset, u"p").Str(kPdText3Offset, std::u16string((4096 - 1416) / 2, u'x'), false);
  const auto cut = Build(big);
  ASSERT_EQ(cut.result, 1);
  EXPECT_EQ(cut.block.text3, std::u16string(599, u'x'));

  // An odd cbSize: text3 ends at the last whole unit inside the record.
  Description odd(2049);
  odd.Str(kPdPathOffset, u"p").Str(kPdText3Offset, std::u16string(316, u'y'), false);
  odd.bytes[2048] = 'z';
  EXPECT_EQ(Build(odd).block.text3, std::u16string(316, u'y'));
}

std::vector<uint8_t> MinimalPe(uint32_t stamp) {
  std::vector<uint8_t> b(256, 0);
  b[0] = 'M', b[1] = 'Z';
  StoreU32(b.data(), 60, 128);
  b[128] = 'P', b[129] = 'E';
  StoreU32(b.data(), 136, stamp);
  return b;
}

TEST(ProgramBuilder, TimeStampAndFingerprintWriteBack) {
  test::TempDir dir;
  test::WriteAll(dir.path() / "app.exe", MinimalPe(0x12345678));
  std::vector<uint8_t> data(5000);
  std::mt19937 gen(5);
  for (auto& x : data) x = static_cast<uint8_t>(gen());
  test::WriteAll(dir.path() / "data.bin", data);
  const std::u16string exe = dir.File("app.exe");
  const std::u16string bin = dir.File("data.bin");
  const std::u16string missing = dir.File("missing.bin");

  {
    Description d;
    d.Str(kPdPathOffset, u"app.exe").Address(kPdTimeStampFileOffset, &exe);
    d.Address(kPdFingerprintFileOffset, &bin);
    const uint64_t address = d.U64At(kPdTimeStampFileOffset);
    const auto out = Build(d);
    ASSERT_EQ(out.result, 1);
    EXPECT_EQ(out.block.flags, PB_TIMESTAMP | PB_FINGERPRINT);
    EXPECT_EQ(out.block.linkTimeStamp, 0x12345678u);
    // Only the low 4 bytes of the address are replaced.
    EXPECT_EQ(d.U64At(kPdTimeStampFileOffset), (address & ~uint64_t{0xFFFFFFFF}) | 0x12345678u);
    const uint64_t fp = (uint64_t{5000} << 32) | test::ReferenceCrc32(data.data(), data.size());
    EXPECT_EQ(out.block.fingerprint, fp);
    EXPECT_EQ(d.U64At(kPdFingerprintFileOffset), fp);
  }
  {
    // Not an executable: no stamp, the caller's address stays; a missing file
    // to fingerprint still sets the attribute, with 0 written back.
    Description d;
    d.Str(kPdPathOffset, u"x").Address(kPdTimeStampFileOffset, &bin);
    d.Address(kPdFingerprintFileOffset, &missing);
    const uint64_t address = d.U64At(kPdTimeStampFileOffset);
    const auto out = Build(d);
    ASSERT_EQ(out.result, 1);
    EXPECT_EQ(out.block.flags, PB_FINGERPRINT);
    EXPECT_EQ(out.block.fingerprint, 0u);
    EXPECT_EQ(d.U64At(kPdTimeStampFileOffset), address);
    EXPECT_EQ(d.U64At(kPdFingerprintFileOffset), 0u);
  }
  {
    // Addresses that lead nowhere readable are a path that cannot be opened.
    Description d;
    d.Str(kPdPathOffset, u"x");
    StoreU64(d.bytes.data(), kPdTimeStampFileOffset, 8);
    StoreU64(d.bytes.data(), kPdFingerprintFileOffset, 16);
    const auto out = Build(d);
    ASSERT_EQ(out.result, 1);
    EXPECT_EQ(out.block.flags, PB_FINGERPRINT);
    EXPECT_EQ(d.U64At(kPdTimeStampFileOffset), 8u);
    EXPECT_EQ(d.U64At(kPdFingerprintFileOffset), 0u);
  }
}

TEST(ProgramBuilder, AddsCopiesThatReplaceByName) {
  CVarBlockList list;
  Description a, b, c;
  a.Str(kPdPathOffset, u"C:\\one\\App.exe").U32(kPdValueSingleOffset, 1);
  b.Str(kPdPathOffset, u"D:\\two\\APP.EXE").U32(kPdValueSingleOffset, 2);
  c.Str(kPdPathOffset, u"other.exe").U32(kPdValueSingleOffset, 3);
  EXPECT_EQ(AddProgramTo(list, a.bytes.data()), 1);
  EXPECT_EQ(AddProgramTo(list, c.bytes.data()), 1);
  EXPECT_EQ(AddProgramTo(list, b.bytes.data()), 1);
  EXPECT_EQ(list.GetCount(), 2u);
  const uint8_t* app = list.FindBlock(ReferenceNameKey(u"app.exe@*"));
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(LoadU32(app, kPbValueOffset), 2u);  // the later description won
  EXPECT_EQ(list.Head()->prev, CVarBlockList::NodeOfBlock(const_cast<uint8_t*>(app)));

  Description none;
  none.Str(kPdPathOffset, u"nothing.exe");
  EXPECT_EQ(AddProgramTo(list, none.bytes.data()), 0);
  EXPECT_EQ(list.GetCount(), 2u);
}

TEST(ProgramBuilder, NoMemoryForTheCopyStillReportsSuccess) {
  CVarBlockList list;
  Description d;
  d.Str(kPdPathOffset, u"mem.exe").U32(kPdValueSingleOffset, 1);
  // The block copy is the one allocation of an add.
  const uint64_t before = AllocCallCount();
  SetAllocFailureAt(1);
  EXPECT_EQ(AddProgramTo(list, d.bytes.data()), 1);
  SetAllocFailureAt(0);
  EXPECT_EQ(list.GetCount(), 0u);
  EXPECT_EQ(AllocCallCount() - before, 1u);
  EXPECT_EQ(AddProgramTo(list, d.bytes.data()), 1);
  EXPECT_EQ(list.GetCount(), 1u);
  EXPECT_EQ(list.FindBlock(0), nullptr) << "the name key never fails for want of memory";
}

}  // namespace
}  // namespace tl
