// Opening, flushing and closing containers, on real files and through faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "common/crc32.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "minifile/dir_entry.h"
#include "minifile_test_util.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::Borrow;
using test::FaultPlan;
using test::ParamsScope;

std::vector<uint8_t> ValidContainer() {
  ParamsScope params(512, 16, 2);
  MemoryFile f;
  EXPECT_EQ(test::WriteStream(&f, u"ProgramList", test::Pattern(700, 1)), 700u);
  return test::Bytes(f);
}

TEST(MiniFileOpenTest, CreatesAMissingFileWithAHeaderOnly) {
  ParamsScope params(0x100000, 32, 4);
  test::TempDir dir;
  const std::u16string path = dir.File("TrustCustom.mnf");
  MiniFileHandle* h = MiniFileOpen(path.c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(LoadU16(h->table(), 0), 0xFFFF);
  EXPECT_EQ(LoadU16(h->table(), 2), 0xFFFE);
  for (uint32_t k = 4; k < h->meta_bytes(); ++k) ASSERT_EQ(h->meta[k], 0) << k;
  MiniFileClose(h);
  const auto bytes = test::ReadAll(dir.path() / "TrustCustom.mnf");
  ASSERT_EQ(bytes.size(), 128u);
  EXPECT_EQ(MiniFileCheckHeader(bytes.data()), 1);
  EXPECT_EQ(LoadU32(bytes.data(), 48), 32u);
  EXPECT_EQ(LoadU32(bytes.data(), 52), 0x100000u);
  EXPECT_EQ(LoadU32(bytes.data(), 56), 4u);
}

TEST(MiniFileOpenTest, OpenAndCloseLeaveAValidFileAsItWas) {
  test::TempDir dir;
  const auto original = ValidContainer();
  test::WriteAll(dir.path() / "c.mnf", original);
  const std::u16string path = dir.File("c.mnf");
  MiniFileHandle* h = MiniFileOpen(path.c_str());
  ASSERT_NE(h, nullptr);
  MiniFileFlush(h);  // dirty flag clear: writes nothing
  MiniFileClose(h);
  EXPECT_EQ(test::ReadAll(dir.path() / "c.mnf"), original);
}

TEST(MiniFileOpenTest, UnopenablePathIsNeitherCreatedNorTruncated) {
  test::TempDir dir;
  EXPECT_EQ(MiniFileOpen(nullptr), nullptr);
  // A folder cannot be opened as a container and must survive the attempt.
  std::filesystem::create_directory(dir.path() / "sub");
  const std::u16string folder = dir.File("sub");
  EXPECT_EQ(MiniFileOpen(folder.c_str()), nullptr);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "sub"));
  const std::u16string missing = dir.File("no/such/dir.mnf");
  EXPECT_EQ(MiniFileOpen(missing.c_str()), nullptr);
}

// Every way a header can be damaged leads to a fresh header with new key bytes
// and an empty container, whatever the file held behind it; the file is not
// truncated.
TEST(MiniFileOpenTest, DamagedHeadersAreReplacedAndStartEmpty) {
  const auto valid = ValidContainer();
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  auto mutate = [&](auto fn) {
    auto b = valid;
    fn(b.data());
    return b;
  };
  auto refit = [](uint8_t* h) { StoreU32(h, 112, Crc32(h, 112)); };
  std::vector<Case> cases = {
      {"empty", {}},
      {"short", std::vector<uint8_t>(valid.begin(), valid.begin() + 100)},
      {"magic", mutate([&](uint8_t* h) {
         h[0] ^= 1;
         refit(h);
       })},
      {"version", mutate([&](uint8_t* h) {
         StoreU32(h, 4, 0x10001);
         refit(h);
       })},
      {"crc", mutate([](uint8_t* h) { h[112] ^= 0x80; })},
      {"text", mutate([](uint8_t* h) { h[20] = 'x'; })},
      {"key", mutate([](uint8_t* h) { h[33] ^= 0xFF; })},
      {"block size 0", mutate([&](uint8_t* h) {
         StoreU32(h, 52, 0);
         refit(h);
       })},
      {"table 2", mutate([&](uint8_t* h) {
         StoreU32(h, 48, 2);
         refit(h);
       })},
      {"table 65536", mutate([&](uint8_t* h) {
         StoreU32(h, 48, 65536);
         refit(h);
       })},
      {"directory 0", mutate([&](uint8_t* h) {
         StoreU32(h, 56, 0);
         refit(h);
       })},
      {"past 2 GiB", mutate([&](uint8_t* h) {
         StoreU32(h, 52, 0x10000000);
         refit(h);
       })},
  };
  for (uint32_t k = 0; k < 112; k += 7) {
    cases.push_back({"byte flip", mutate([&](uint8_t* h) { h[k] ^= 0x10; })});
  }
  ParamsScope params(0x100000, 32, 4);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto file = MemoryFile::FromBytes(c.bytes.data(), c.bytes.size());
    MiniFileHandle* h = MiniFileOpenFile(Borrow(file.get()));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->geometry.table_entries, 32u);
    EXPECT_EQ(h->geometry.block_size, 0x100000u);
    EXPECT_EQ(LoadU16(h->table(), 0), 0xFFFF);
    EXPECT_EQ(LoadU16(h->table(), 2), 0xFFFE);
    for (uint32_t k = 4; k < h->meta_bytes(); ++k) ASSERT_EQ(h->meta[k], 0) << k;
    MiniFileClose(h);
    const auto after = test::Bytes(*file);
    ASSERT_GE(after.size(), 128u);
    EXPECT_GE(after.size(), c.bytes.size());  // never truncated
    EXPECT_EQ(MiniFileCheckHeader(after.data()), 1);
    if (c.bytes.size() >= 48) {
      EXPECT_NE(std::memcmp(after.data() + 32, valid.data() + 32, 16), 0) << "new key bytes";
    }
    // On disk too the container reads as empty and sound.
    ContainerReader r;
    ASSERT_TRUE(r.OpenBytes(after.data(), after.size()));
    EXPECT_TRUE(r.Verify().empty()) << test::DefectNames(r.Verify())[0];
    EXPECT_EQ(r.FindStream(u"ProgramList"), -1);
  }
}

TEST(MiniFileOpenTest, AcceptedHeaderKeepsItsOwnGeometry) {
  const auto valid = ValidContainer();  // 512-byte blocks, 16 entries, 2 slots
  ParamsScope params(0x100000, 32, 4);
  auto file = MemoryFile::FromBytes(valid.data(), valid.size());
  MiniFileHandle* h = MiniFileOpenFile(Borrow(file.get()));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->geometry.block_size, 512u);
  EXPECT_EQ(h->geometry.table_entries, 16u);
  EXPECT_EQ(h->geometry.dir_entries, 2u);
  EXPECT_EQ(std::memcmp(h->key, valid.data() + 32, 16), 0);
  MiniFileClose(h);
}

TEST(MiniFileOpenTest, EntriesZeroAndOneAreSetWhateverTheFileHolds) {
  auto bytes = ValidContainer();
  StoreU16(bytes.data(), 128, 0x1234);
  StoreU16(bytes.data(), 130, 0);
  auto file = MemoryFile::FromBytes(bytes.data(), bytes.size());
  MiniFileHandle* h = MiniFileOpenFile(Borrow(file.get()));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(LoadU16(h->table(), 0), 0xFFFF);
  EXPECT_EQ(LoadU16(h->table(), 2), 0xFFFE);
  MiniFileClose(h);
}

TEST(MiniFileOpenTest, FailuresGiveNullAndKeepTheFile) {
  const auto valid = ValidContainer();
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    FaultPlan plan;
  };
  FaultPlan read_header, read_table, write_header, flush_header;
  read_header.fail_read_at = 1;  // header unreadable: it may be sound, must not open
  read_table.fail_read_at = 2;   // table unreadable: must not open
  write_header.fail_write_at = 1;
  flush_header.fail_flush_at = 1;
  const std::vector<uint8_t> damaged(300, 0x5A);
  const Case cases[] = {
      {"header read error", valid, read_header},
      {"header read error, damaged file", damaged, read_header},
      {"table read error", valid, read_table},
      {"fresh header not written", damaged, write_header},
      {"fresh header not flushed", damaged, flush_header},
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.what);
    auto file = MemoryFile::FromBytes(c.bytes.data(), c.bytes.size());
    MiniFileHandle* h = MiniFileOpenFile(test::WrapFaults(Borrow(file.get()), &c.plan));
    EXPECT_EQ(h, nullptr);
    MiniFileClose(h);
    // Only the fresh header whose flush failed may have reached the file.
    if (c.plan.fail_flush_at == 0) {
      EXPECT_EQ(test::Bytes(*file), c.bytes);
    }
  }
  EXPECT_EQ(MiniFileOpenFile(nullptr), nullptr);
}

TEST(MiniFileOpenTest, EveryAllocationFailureGivesNull) {
  const auto valid = ValidContainer();
  for (uint64_t n = 1;; ++n) {
    auto file = MemoryFile::FromBytes(valid.data(), valid.size());
    SetAllocFailureAt(n);
    MiniFileHandle* h = MiniFileOpenFile(Borrow(file.get()));
    SetAllocFailureAt(0);
    if (h != nullptr) {
      MiniFileClose(h);
      EXPECT_GT(n, 4u);  // header buffer, handle, meta, scratch, marks, block buffer
      break;
    }
    EXPECT_EQ(test::Bytes(*file), valid) << n;
    ASSERT_LT(n, 20u);
  }
}

TEST(MiniFileOpenTest, FlushAndCloseIgnoreUnusableHandles) {
  MiniFileClose(nullptr);
  MiniFileClose(reinterpret_cast<MiniFileHandle*>(UINTPTR_MAX));
  MiniFileFlush(nullptr);
  MiniFileHandle fake;
  fake.magic = 0x12345678;
  MiniFileClose(&fake);  // does nothing: not ours to release
  MiniFileFlush(&fake);
  EXPECT_EQ(fake.magic, 0x12345678u);
  EXPECT_FALSE(MiniFileHandleUsable(&fake));
  uint8_t byte = 1;
  EXPECT_EQ(MiniFileWriteStream(&fake, u"x", &byte, 1), 0u);
}

TEST(MiniFileOpenTest, FlushWritesOnlyWhenDirty) {
  const auto valid = ValidContainer();
  auto file = MemoryFile::FromBytes(valid.data(), valid.size());
  FaultPlan plan;
  MiniFileHandle* h = MiniFileOpenFile(test::WrapFaults(Borrow(file.get()), &plan));
  ASSERT_NE(h, nullptr);
  MiniFileFlush(h);
  EXPECT_EQ(plan.writes, 0u);
  h->dirty = 1;
  MiniFileFlush(h);
  EXPECT_EQ(plan.writes, 1u);  // table and directory in one write
  EXPECT_EQ(plan.flushes, 1u);
  EXPECT_EQ(h->dirty, 0u);
  MiniFileClose(h);
  EXPECT_EQ(test::Bytes(*file), valid);
}

}  // namespace
}  // namespace tl

namespace tl {
namespace {

// A file that keeps only the ranges written into it, so that a container
// whose directory claims gigabytes can be written without holding them; it
// records the longest single write.
class SparseFile final : public platform::File {
 public:
  bool ReadAt(uint32_t offset, void* buf, uint32_t len, uint32_t* done) override {
    const uint64_t end = std::min<uint64_t>(uint64_t{offset} + len, size_);
    *done = end > offset ? static_cast<uint32_t>(end - offset) : 0;
    auto* out = static_cast<uint8_t*>(buf);
    std::memset(out, 0, *done);
    for (const auto& [at, bytes] : ranges_) {
      for (size_t k = 0; k < bytes.size(); ++k) {
        if (at + k >= offset && at + k < end) out[at + k - offset] = bytes[k];
      }
    }
    return true;
  }
  bool WriteAt(uint32_t offset, const void* buf, uint32_t len, uint32_t* done) override {
    const auto* in = static_cast<const uint8_t*>(buf);
    ranges_.emplace_back(offset, std::vector<uint8_t>(in, in + len));
    size_ = std::max<uint64_t>(size_, uint64_t{offset} + len);
    longest_write = std::max(longest_write, len);
    *done = len;
    return true;
  }
  bool Size(uint32_t* size) override {
    *size = static_cast<uint32_t>(size_);
    return true;
  }
  bool Flush() override { return true; }
  uint32_t longest_write = 0;

 private:
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> ranges_;
  uint64_t size_ = 0;
};

// A header that passes the check but claims a directory of millions of
// entries costs what the file holds, at most T - 1 entries, never the claim.
TEST(MiniFileOpenTest, HugeDirectoryClaimsStayBounded) {
  constexpr uint32_t kClaim = 30000000;  // 1.9 GB of directory
  uint8_t header[kHeaderSize];
  {
    ParamsScope params(512, 16, kClaim);
    MiniFileInitHeader(header);
  }
  Geometry g;
  ASSERT_TRUE(GeometryFromHeader(header, &g));  // inside the format: below 2 GiB
  struct Case {
    uint32_t dir_bytes_in_file;
    uint32_t held;
  };
  const Case cases[] = {{0, 1}, {64, 2}, {130, 4}, {1 << 20, 15}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir_bytes_in_file);
    SparseFile file;
    uint32_t done = 0;
    std::vector<uint8_t> start(g.dir_offset + c.dir_bytes_in_file, 0);
    std::memcpy(start.data(), header, kHeaderSize);
    StoreU16(start.data(), kHeaderSize, 0xFFFF);
    StoreU16(start.data(), kHeaderSize + 2, 0xFFFE);
    file.WriteAt(0, start.data(), static_cast<uint32_t>(start.size()), &done);
    file.longest_write = 0;
    MiniFileHandle* h = MiniFileOpenFile(Borrow(&file));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->dir_held, c.held);
    EXPECT_EQ(h->meta_bytes(), 32 + 64 * c.held);
    const auto data = test::Pattern(700, 1);
    ASSERT_EQ(MiniFileWriteStream(h, u"s", data.data(), 700), 700u);
    MiniFileClose(h);
    EXPECT_LE(file.longest_write, std::max(512u, 32 + 64 * c.held));  // a block, or the meta
    // The data lie behind the claimed directory: the file now reaches past
    // all of it, and the next open still holds T - 1 entries, finding the
    // stream in slot 0.
    h = MiniFileOpenFile(Borrow(&file));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->dir_held, 15u);
    EXPECT_EQ(LoadU16(h->directory(), 0), u's');
    ASSERT_EQ(MiniFileWriteStream(h, u"S", data.data(), 600), 600u);  // replaces it
    EXPECT_EQ(LoadU32(h->directory(), kDirEntrySizeOffset), 600u);
    EXPECT_EQ(LoadU16(h->directory() + 64, 0), 0);
    MiniFileClose(h);
    EXPECT_LE(file.longest_write, 32 + 64 * 15);
  }
}

}  // namespace
}  // namespace tl
