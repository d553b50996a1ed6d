#include "fingerprint/link_time_stamp.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/le.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

constexpr uint32_t kUntouched = 0xC0FFEE11u;
constexpr uint32_t kStamp = 0x5F5E1234u;

// An image of `size` bytes: 'MZ', the header offset at 60, and when it leaves
// room, 'PE\0\0' at the offset and kStamp eight bytes further on.
std::vector<uint8_t> Image(uint32_t size, int32_t header, bool write_pe = true) {
  std::vector<uint8_t> b(size, 0);
  if (size >= 2) b[0] = 'M', b[1] = 'Z';
  if (size >= 64) StoreU32(b.data(), 60, static_cast<uint32_t>(header));
  if (write_pe && header >= 0) {
    const auto at = static_cast<size_t>(header);
    const char pe[4] = {'P', 'E', 0, 0};
    for (size_t i = 0; i < 4 && at + i < size; ++i) b[at + i] = static_cast<uint8_t>(pe[i]);
    for (size_t i = 0; i < 4 && at + 8 + i < size; ++i) {
      b[at + 8 + i] = static_cast<uint8_t>(kStamp >> (8 * i));
    }
  }
  return b;
}

TEST(LinkTimeStamp, HandMadeImages) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    bool found;
  } cases[] = {
      {"minimal", Image(76, 64), true},
      {"stamp ends at end of file", Image(128, 116), true},
      {"stamp one byte short", Image(127, 116), false},
      {"signature ends at end of file", Image(128, 124), false},
      {"signature cut", Image(128, 126), false},
      {"offset equals size", Image(128, 128), false},
      {"offset far beyond", Image(128, 0x7FFFFFFF), false},
      {"negative offset", Image(128, -16), false},
      {"most negative offset", Image(128, INT32_MIN), false},
      {"offset 0 points at MZ", Image(128, 0, false), false},
      {"no PE signature", Image(128, 64, false), false},
      {"too short for the offset", Image(63, 0), false},
      {"MZ alone", Image(2, 0), false},
      {"M alone", Image(1, 0), false},
      {"empty", {}, false},
  };
  for (auto& c : cases) {
    uint32_t stamp = kUntouched;
    EXPECT_EQ(FindLinkTimeStamp(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), &stamp),
              c.found)
        << c.what;
    EXPECT_EQ(stamp, c.found ? kStamp : kUntouched) << c.what;
  }
  // Same image with the wrong signature bytes and with 'ZM' in front.
  auto wrong_sig = Image(76, 64);
  wrong_sig[67] = 1;
  auto swapped = Image(76, 64);
  std::swap(swapped[0], swapped[1]);
  for (const auto* bytes : {&wrong_sig, &swapped}) {
    uint32_t stamp = kUntouched;
    EXPECT_FALSE(FindLinkTimeStamp(bytes->data(), static_cast<uint32_t>(bytes->size()), &stamp));
    EXPECT_EQ(stamp, kUntouched);
  }
}

TEST(LinkTimeStamp, FromFiles) {
  test::TempDir dir;
  test::WriteAll(dir.path() / "pe.bin", Image(4096, 0x80));
  test::WriteAll(dir.path() / "hostile.bin", Image(200, 196));
  test::WriteAll(dir.path() / "empty.bin", {});

  uint32_t stamp = kUntouched;
  EXPECT_EQ(ReadLinkTimeStamp(dir.File("pe.bin").c_str(), &stamp), 1);
  EXPECT_EQ(stamp, kStamp);
  EXPECT_EQ(ReadLinkTimeStamp(dir.File("pe.bin").c_str(), nullptr), 1);

  for (const char* name : {"hostile.bin", "empty.bin", "missing.bin"}) {
    stamp = kUntouched;
    EXPECT_EQ(ReadLinkTimeStamp(dir.File(name).c_str(), &stamp), 0) << name;
    EXPECT_EQ(stamp, kUntouched) << name;
  }
  EXPECT_EQ(ReadLinkTimeStamp(nullptr, &stamp), 0);
  // A folder is not a file with a header.
  EXPECT_EQ(ReadLinkTimeStamp(test::U16Path(dir.path()).c_str(), &stamp), 0);
}

// The running test program: a PE image under Windows (its stamp must be the one
// its headers hold), an ELF file natively (no stamp).
TEST(LinkTimeStamp, RunningProgram) {
  std::filesystem::path self = ::testing::internal::GetArgvs().at(0);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(self, ec)) self = "/proc/self/exe";
  const std::vector<uint8_t> bytes = test::ReadAll(self);
  ASSERT_GE(bytes.size(), 64u) << self;

  uint32_t stamp = kUntouched;
  const int result = ReadLinkTimeStamp(test::U16Path(self).c_str(), &stamp);
  if (bytes[0] == 0x7F && bytes[1] == 'E') {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(stamp, kUntouched);
    return;
  }
  ASSERT_EQ(bytes[0], 'M');
  const uint32_t header = LoadU32(bytes.data(), 60);
  ASSERT_LT(header + 12, bytes.size());
  ASSERT_EQ(LoadU32(bytes.data(), header), 0x4550u);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(stamp, LoadU32(bytes.data(), header + 8));
}

}  // namespace
}  // namespace tl
