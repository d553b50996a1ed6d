#include "common/crc32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tl {
namespace {

// Bitwise reference, independent of the table.
uint32_t ReferenceCrc(const std::vector<uint8_t>& bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

TEST(Crc32, KnownVectors) {
  struct Case {
    std::string text;
    uint32_t crc;
  };
  const Case cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
      // The name key of "abc" hashes its UTF-16LE bytes.
      {std::string("a\0b\0c\0", 6), 0xAD957AB0u},
  };
  for (const auto& c : cases) EXPECT_EQ(Crc32(c.text.data(), c.text.size()), c.crc) << c.text;
}

TEST(Crc32, MatchesBitwiseReferenceAndIncrementalForm) {
  std::vector<uint8_t> bytes(10000);
  uint32_t x = 12345;
  for (auto& b : bytes) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  // Lengths around the 8-byte steps of the table and the 16- and 64-byte
  // steps of the folding, from aligned and unaligned starts.
  for (size_t len : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{15}, size_t{16}, size_t{17},
                     size_t{63}, size_t{64}, size_t{65}, size_t{79}, size_t{80}, size_t{127},
                     size_t{128}, size_t{129}, size_t{4096}, bytes.size() - 3}) {
    for (size_t start : {size_t{0}, size_t{3}}) {
      const uint8_t* at = bytes.data() + start;
      EXPECT_EQ(Crc32(at, len), ReferenceCrc(std::vector<uint8_t>(at, at + len))) << len;
    }
    std::vector<uint8_t> part(bytes.begin(), bytes.begin() + static_cast<long>(len));
    const uint32_t whole = Crc32(part.data(), part.size());
    EXPECT_EQ(whole, ReferenceCrc(part)) << len;
    const size_t half = len / 2;
    uint32_t s = Crc32Update(kCrc32Init, part.data(), half);
    s = Crc32Update(s, part.data() + half, len - half);
    EXPECT_EQ(Crc32Final(s), whole) << len;
  }
}

}  // namespace
}  // namespace tl
