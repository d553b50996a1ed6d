#include "fingerprint/file_fingerprint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "fingerprint/reference_crc32.h"
#include "platform/file.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::ReferenceCrc32;

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> b(n);
  for (auto& x : b) x = static_cast<uint8_t>(gen());
  return b;
}

// What the fingerprint must be, from the definition: the whole file below 8192
// bytes, else its first and last 4096 bytes.
uint64_t Expected(const std::vector<uint8_t>& b) {
  const auto size = static_cast<uint32_t>(b.size());
  uint32_t crc;
  if (size < 8192) {
    crc = ReferenceCrc32(b.data(), b.size());
  } else {
    std::vector<uint8_t> sample(b.begin(), b.begin() + 4096);
    sample.insert(sample.end(), b.end() - 4096, b.end());
    crc = ReferenceCrc32(sample.data(), sample.size());
  }
  return (uint64_t{size} << 32) | crc;
}

TEST(FileFingerprint, SizesAroundTheSampleLimit) {
  test::TempDir dir;
  for (size_t size : {size_t{0}, size_t{1}, size_t{4096}, size_t{5000}, size_t{8191}, size_t{8192},
                      size_t{8193}, size_t{12288}, size_t{300000}}) {
    const auto bytes = RandomBytes(size, static_cast<uint32_t>(size) + 1);
    const auto name = "f" + std::to_string(size);
    test::WriteAll(dir.path() / name, bytes);
    const uint64_t fp = ComputeFileFingerprint(dir.File(name).c_str());
    EXPECT_EQ(fp, Expected(bytes)) << size;
    EXPECT_EQ(fp >> 32, size) << size;
    if (size > 0 && size <= 8192) {
      // Up to 8192 bytes the sample is the whole file.
      EXPECT_EQ(static_cast<uint32_t>(fp), ReferenceCrc32(bytes.data(), bytes.size())) << size;
    }
  }
}

TEST(FileFingerprint, OnlyTheEndsCount) {
  test::TempDir dir;
  auto a = RandomBytes(20000, 7);
  auto b = a;
  b[4096] ^= 0xFF;          // first byte outside the head piece
  b[20000 - 4097] ^= 0xFF;  // last byte outside the tail piece
  auto c = a;
  c[20000 - 4096] ^= 0x01;  // first byte of the tail piece
  test::WriteAll(dir.path() / "a", a);
  test::WriteAll(dir.path() / "b", b);
  test::WriteAll(dir.path() / "c", c);
  const uint64_t fa = ComputeFileFingerprint(dir.File("a").c_str());
  EXPECT_EQ(fa, ComputeFileFingerprint(dir.File("b").c_str()));
  EXPECT_NE(fa, ComputeFileFingerprint(dir.File("c").c_str()));
}

TEST(FileFingerprint, UnopenableGivesZero) {
  test::TempDir dir;
  EXPECT_EQ(ComputeFileFingerprint(dir.File("missing").c_str()), 0u);
  EXPECT_EQ(ComputeFileFingerprint(nullptr), 0u);
}

// A file whose reads deliver fewer bytes than asked, as a failing disk or a file
// that shrinks under the reader would.
class ShortReadFile : public platform::File {
 public:
  ShortReadFile(std::vector<uint8_t> bytes, uint32_t first_read_cap)
      : bytes_(std::move(bytes)), cap_(first_read_cap) {}
  bool ReadAt(uint32_t offset, void* buf, uint32_t len, uint32_t* done) override {
    offsets.push_back(offset);
    uint32_t n = offset < bytes_.size() ? static_cast<uint32_t>(bytes_.size() - offset) : 0;
    if (n > len) n = len;
    if (offsets.size() == 1 && n > cap_) n = cap_;
    if (n > 0) std::memcpy(buf, bytes_.data() + offset, n);
    *done = n;
    return n == len;
  }
  bool WriteAt(uint32_t, const void*, uint32_t, uint32_t* done) override {
    *done = 0;
    return false;
  }
  bool Size(uint32_t* size) override {
    *size = static_cast<uint32_t>(bytes_.size());
    return true;
  }
  bool Flush() override { return true; }
  std::vector<uint32_t> offsets;

 private:
  std::vector<uint8_t> bytes_;
  uint32_t cap_;
};

TEST(FileFingerprint, ShortReadsShortenTheSample) {
  const auto bytes = RandomBytes(10000, 3);
  {
    // The tail piece goes directly behind the 100 bytes the first read gave.
    ShortReadFile f(bytes, 100);
    std::vector<uint8_t> sample(bytes.begin(), bytes.begin() + 100);
    sample.insert(sample.end(), bytes.end() - 4096, bytes.end());
    EXPECT_EQ(SampledFileCrc(f, 10000), ReferenceCrc32(sample.data(), sample.size()));
    EXPECT_EQ(f.offsets, (std::vector<uint32_t>{0, 10000 - 4096}));
  }
  {
    // A size that claims more than the file holds: the tail read comes up short.
    ShortReadFile f(bytes, UINT32_MAX);
    std::vector<uint8_t> sample(bytes.begin(), bytes.begin() + 4096);
    sample.insert(sample.end(), bytes.begin() + 8000, bytes.end());
    EXPECT_EQ(SampledFileCrc(f, 12096), ReferenceCrc32(sample.data(), sample.size()));
  }
  {
    // Below the limit: one read of the whole size, cut short.
    ShortReadFile f(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3000), 1000);
    EXPECT_EQ(SampledFileCrc(f, 3000), ReferenceCrc32(bytes.data(), 1000));
    EXPECT_EQ(f.offsets.size(), 1u);
  }
}

}  // namespace
}  // namespace tl
