// The one block assembly: the program entry builder, the hash list and a
// jsonl entry make the same bytes for the same entry, and those bytes are the
// ones the list has always stored (CRC-32 of each block, pinned).
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "blocklist/block_header.h"
#include "common/crc32.h"
#include "common/le.h"
#include "entry/hash_list.h"
#include "entry/program_builder.h"
#include "view/entry_json.h"

namespace tl::test {
namespace {

struct Entry {
  const char* what;
  std::u16string path, tokens, text1, text2, text3;
  uint32_t value, pair_first, pair_second;
  uint32_t crc;  // of the block as built
};

std::vector<uint8_t> Describe(const Entry& e) {
  const size_t text3_end = kPdText3Offset + 2 * (e.text3.size() + 1);
  std::vector<uint8_t> r(text3_end > kPdMinSize ? text3_end : kPdMinSize, 0);
  StoreU32(r.data(), kPdCbSizeOffset, static_cast<uint32_t>(r.size()));
  auto put = [&](size_t offset, const std::u16string& s) {
    for (size_t i = 0; i < s.size(); ++i) StoreU16(r.data(), offset + 2 * i, s[i]);
  };
  put(kPdPathOffset, e.path);
  put(kPdTokenListOffset, e.tokens);
  put(kPdText1Offset, e.text1);
  put(kPdText2Offset, e.text2);
  put(kPdText3Offset, e.text3);
  StoreU32(r.data(), kPdValueSingleOffset, e.value);
  StoreU32(r.data(), kPdValuePairFirstOffset, e.pair_first);
  StoreU32(r.data(), kPdValuePairSecondOffset, e.pair_second);
  return r;
}

// The block an entry's jsonl line rebuilds, with the stored magic.
std::vector<uint8_t> ThroughJson(std::vector<uint8_t> block) {
  StoreU32(block.data(), kBlockMagicOffset, kBlockMagic);
  const ctl::Json j = ctl::EntryToJson(block.data(), static_cast<uint32_t>(block.size()));
  EXPECT_FALSE(j.contains("bytes")) << j.dump();
  std::vector<uint8_t> rebuilt;
  std::string error;
  EXPECT_TRUE(ctl::EntryFromJson(j, &rebuilt, &error)) << error;
  return rebuilt == block ? block : std::vector<uint8_t>();
}

TEST(BlockAssembly, BuilderJsonlAndHashListMakeTheBytesTheyAlwaysMade) {
  const Entry entries[] = {
      {"value only", u"C:\\Tools\\app.exe", u"", u"", u"", u"", 7, 0, 0, 0xed051c11},
      {"bare name, pair", u"tool", u"", u"", u"", u"", 0, 3, 4, 0x54f9d0b8},
      {"value and pair", u"x\\y.exe", u"", u"", u"", u"", 9, 5, 6, 0x57a84a72},
      {"tokens", u"a\\b.exe", u";one;;two;three;four;five", u"", u"", u"", 0, 0, 0, 0xaa5e8060},
      {"separators only", u"a\\b.exe", u";;;", u"", u"", u"", 0, 0, 0, 0x77519a72},
      {"texts", u"d:\\p\\Q.EXE", u"t", u"first", u"second", u"third", 0, 0, 0, 0x8ae1c3d8},
      {"text3 only", u"q.exe", u"", u"", u"", u"a longer third text, past the minimum record", 0, 0,
       0, 0x44477534},
      {"non-ASCII", u"C:\\\u00c4\\\u00e9t\u00e9.exe", u"\u4e2d", u"\u00df", u"", u"", 1, 0, 0,
       0x2fefbac7},
  };
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.what);
    std::vector<uint8_t> record = Describe(e);
    std::vector<uint8_t> work(kProgramWorkBytes, 0xA5);
    uint32_t size = 0;
    ASSERT_EQ(BuildProgramBlock(record.data(), work.data(), &size), 1);
    const std::vector<uint8_t> block(work.begin(), work.begin() + size);
    EXPECT_EQ(Crc32(block.data(), block.size()), e.crc);
    std::vector<uint8_t> stored = block;
    StoreU32(stored.data(), kBlockMagicOffset, kBlockMagic);
    EXPECT_EQ(ThroughJson(block), stored);
  }
  for (const auto& [size, crc, expected] :
       {std::tuple{0u, 0u, 0x8d2dcb56u}, std::tuple{0x1000u, 0xABCDEF01u, 0x937cad66u}}) {
    uint8_t work[kHashBlockSize];
    ASSERT_EQ(BuildHashBlock(work, size, crc), kHashBlockSize);
    const std::vector<uint8_t> block(work, work + kHashBlockSize);
    EXPECT_EQ(Crc32(block.data(), block.size()), expected);
    std::vector<uint8_t> stored = block;
    StoreU32(stored.data(), kBlockMagicOffset, kBlockMagic);
    EXPECT_EQ(ThroughJson(block), stored);
  }
}

}  // namespace
}  // namespace tl::test
