// The checked reader over sound and damaged containers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "common/crc32.h"
#include "common/le.h"
#include "minifile_test_util.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::ParamsScope;
using test::Pattern;

constexpr uint32_t kB = 512;
constexpr uint32_t kT = 16;
constexpr uint32_t kDir = 128 + 2 * kT;    // directory offset
constexpr uint32_t kData = kDir + 4 * 64;  // data offset

// A container file read through ReadAt only (no bytes held in memory), whose
// reads fail at and past `fail_from`.
class UnheldFile final : public platform::File {
 public:
  explicit UnheldFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  bool ReadAt(uint32_t offset, void* buf, uint32_t len, uint32_t* done) override {
    *done = 0;
    if (uint64_t{offset} + len > fail_from) return false;
    if (offset >= bytes_.size()) return true;
    *done = std::min<uint32_t>(len, static_cast<uint32_t>(bytes_.size() - offset));
    std::memcpy(buf, bytes_.data() + offset, *done);
    return true;
  }
  bool WriteAt(uint32_t, const void*, uint32_t, uint32_t*) override { return false; }
  bool Size(uint32_t* size) override {
    *size = static_cast<uint32_t>(bytes_.size());
    return true;
  }
  bool Flush() override { return true; }
  uint64_t fail_from = UINT64_MAX;

 private:
  std::vector<uint8_t> bytes_;
};

// "A" (2 blocks: 2,3), "B" (1 block: 4) and "C" (3 blocks: 5,6,7).
std::vector<uint8_t> SoundContainer() {
  ParamsScope params(kB, kT, 4);
  MemoryFile f;
  EXPECT_EQ(test::WriteStream(&f, u"A", Pattern(2 * kB - 10, 1)), 2 * kB - 10);
  EXPECT_EQ(test::WriteStream(&f, u"B", Pattern(kB, 2)), kB);
  EXPECT_EQ(test::WriteStream(&f, u"C", Pattern(2 * kB + 1, 3)), 2 * kB + 1);
  return test::Bytes(f);
}

void SetLink(std::vector<uint8_t>& c, uint32_t index, uint16_t v) {
  StoreU16(c.data(), 128 + 2 * index, v);
}
uint8_t* Entry(std::vector<uint8_t>& c, uint32_t e) { return c.data() + kDir + 64 * e; }
void Refit(std::vector<uint8_t>& c) { StoreU32(c.data(), 112, Crc32(c.data(), 112)); }

TEST(ContainerReaderTest, SoundContainerReadsBackEveryStream) {
  const auto c = SoundContainer();
  ContainerReader r;
  ASSERT_TRUE(r.OpenBytes(c.data(), c.size()));
  EXPECT_EQ(r.header_defect(), Defect::kNone);
  EXPECT_TRUE(r.Verify().empty());
  ASSERT_EQ(r.entries().size(), 4u);
  EXPECT_EQ(r.entries()[2].name, u"C");
  EXPECT_EQ(r.entries()[2].first_block, 5);
  EXPECT_EQ(r.entries()[2].size, 2 * kB + 1);
  EXPECT_TRUE(r.entries()[3].free());
  EXPECT_EQ(r.FindStream(u"c"), 2);
  EXPECT_EQ(r.FindStream(u"D"), -1);
  std::vector<uint8_t> out;
  EXPECT_EQ(r.ReadStream(0, &out), Defect::kNone);
  EXPECT_EQ(out, Pattern(2 * kB - 10, 1));
  EXPECT_EQ(r.ReadStream(3, &out), Defect::kNotPresent);
  EXPECT_EQ(r.ReadStream(99, &out), Defect::kNotPresent);
  EXPECT_TRUE(out.empty());

  // The same through a file on disk.
  test::TempDir dir;
  test::WriteAll(dir.path() / "c.mnf", c);
  ContainerReader disk;
  const std::u16string path = dir.File("c.mnf");
  ASSERT_TRUE(disk.Open(path.c_str()));
  EXPECT_TRUE(disk.Verify().empty());
  EXPECT_EQ(disk.ReadStream(2, &out), Defect::kNone);
  EXPECT_EQ(out, Pattern(2 * kB + 1, 3));
  const std::u16string missing = dir.File("none.mnf");
  EXPECT_FALSE(disk.Open(missing.c_str()));
}

TEST(ContainerReaderTest, DefectNamesAreDistinctAndStable) {
  std::set<std::string> names;
  for (int d = 0; d <= static_cast<int>(Defect::kNoMemory); ++d) {
    names.insert(DefectName(static_cast<Defect>(d)));
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(Defect::kNoMemory) + 1);
  EXPECT_STREQ(DefectName(Defect::kHeaderCrc), "header-crc");
  EXPECT_STREQ(DefectName(Defect::kChainLoop), "chain-loop");
  EXPECT_STREQ(DefectName(Defect::kBlockShared), "block-shared");
}

// Each damage is reported by name, for the entry and block concerned, and a
// stream on a damaged chain cannot be read while the others still can.
TEST(ContainerReaderTest, DamageIsReportedByName) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    std::vector<std::string> defects;
    int entry;       // entry of the first finding
    int block;       // block of the first finding
    int unreadable;  // entry whose ReadStream fails, or -1
  };
  const std::vector<Case> cases = {
      {"header crc", [](auto& c) { c[20] ^= 1; }, {"header-crc"}, -1, -1, -1},
      {"header magic", [](auto& c) { c[3] = 0; }, {"header-magic"}, -1, -1, -1},
      {"header version",
       [](auto& c) {
         StoreU32(c.data(), 4, 0x20000);
         Refit(c);
       },
       {"header-version"},
       -1,
       -1,
       -1},
      {"header geometry",
       [](auto& c) {
         StoreU32(c.data(), 48, 2);
         Refit(c);
       },
       {"header-geometry"},
       -1,
       -1,
       -1},
      {"header short", [](auto& c) { c.resize(127); }, {"header-short"}, -1, -1, -1},
      {"entry 0 link", [](auto& c) { SetLink(c, 0, 0); }, {"reserved-entry"}, -1, 0, -1},
      {"link beyond table",
       [](auto& c) { SetLink(c, 2, kT); },
       {"link-out-of-range", "block-orphaned"},
       0,
       kT,
       0},
      {"first block beyond",
       [](auto& c) { StoreU16(Entry(c, 1), 38, 0x7777); },
       {"link-out-of-range", "block-orphaned"},
       1,
       0x7777,
       1},
      {"link to entry 1",
       [](auto& c) { SetLink(c, 2, 1); },
       {"link-to-reserved", "block-orphaned"},
       0,
       1,
       0},
      {"first block 0",
       [](auto& c) { StoreU16(Entry(c, 1), 38, 0); },
       {"link-to-reserved", "block-orphaned"},
       1,
       0,
       1},
      {"runs into a free block",
       [](auto& c) { SetLink(c, 5, 8); },
       {"chain-free-block", "block-orphaned", "block-orphaned"},
       2,
       8,
       2},
      {"loop", [](auto& c) { SetLink(c, 6, 5); }, {"chain-loop", "block-orphaned"}, 2, 5, 2},
      {"self loop", [](auto& c) { SetLink(c, 4, 4); }, {"chain-loop"}, 1, 4, 1},
      {"shared block",
       [](auto& c) { StoreU16(Entry(c, 1), 38, 2); },
       {"block-shared", "block-orphaned"},
       1,
       2,
       1},
      {"chain short",
       [](auto& c) { StoreU32(Entry(c, 1), 34, kB + 1); },
       {"chain-short"},
       1,
       -1,
       1},
      {"chain long",
       [](auto& c) { StoreU32(Entry(c, 2), 34, kB); },
       {"chain-long", "block-orphaned", "block-orphaned"},
       2,
       6,
       2},
      {"size 0 with a chain",
       [](auto& c) { StoreU32(Entry(c, 1), 34, 0); },
       {"chain-long", "block-orphaned"},
       1,
       4,
       1},
      {"file cut in the last block",
       [](auto& c) { c.resize(c.size() - 1); },
       {"block-past-end"},
       2,
       7,
       2},
      {"file cut before a middle block",
       [](auto& c) { c.resize(kData + 5 * kB); },
       {"block-past-end"},
       2,
       7,
       2},
      {"name unterminated",
       [](auto& c) {
         for (int k = 0; k < 17; ++k) StoreU16(Entry(c, 3), 2 * k, u'x');
       },
       {"name-unterminated"},
       3,
       -1,
       -1},
      {"present without name",
       [](auto& c) { StoreU16(Entry(c, 1), 0, 0); },
       {"name-empty"},
       1,
       -1,
       -1},
      {"duplicate name",
       [](auto& c) { StoreU16(Entry(c, 1), 0, u'a'); },
       {"name-duplicate"},
       1,
       -1,
       -1},
      {"orphan", [](auto& c) { SetLink(c, 12, 0xFFFF); }, {"block-orphaned"}, -1, 12, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = SoundContainer();
    c.damage(bytes);
    ContainerReader r;
    ASSERT_TRUE(r.OpenBytes(bytes.data(), bytes.size()));
    const auto found = r.Verify();
    EXPECT_EQ(test::DefectNames(found), c.defects);
    if (!found.empty()) {
      EXPECT_EQ(found[0].entry, c.entry);
      EXPECT_EQ(found[0].block, c.block);
    }
    std::vector<uint8_t> out;
    if (c.unreadable >= 0) {
      EXPECT_NE(r.ReadStream(static_cast<uint32_t>(c.unreadable), &out), Defect::kNone);
      EXPECT_TRUE(out.empty());
    }
    if (r.header_valid() && c.unreadable != 0 && r.entries()[0].present()) {
      EXPECT_EQ(r.ReadStream(0, &out), Defect::kNone);
    }
  }
}

// A header claiming a huge directory or table over a small file lists only
// what the file holds and allocates nothing near the claimed sizes.
TEST(ContainerReaderTest, ClaimsBeyondTheFileStayBounded) {
  auto c = SoundContainer();
  c.resize(kData + 40);
  StoreU32(c.data(), 56, 0x01000000);  // 16 M directory entries (1 GiB)
  StoreU32(c.data(), 52, 64);
  Refit(c);
  ContainerReader r;
  ASSERT_TRUE(r.OpenBytes(c.data(), c.size()));
  ASSERT_TRUE(r.header_valid());
  EXPECT_LE(r.entries().size(), (c.size() - kDir) / 64 + 1);
  std::vector<uint8_t> out;
  EXPECT_EQ(r.ReadStream(0, &out), Defect::kChainShort);  // 64-byte blocks now
  // Valid header, then nothing: a container that never had a stream.
  std::vector<uint8_t> header_only(c.begin(), c.begin() + 128);
  ASSERT_TRUE(r.OpenBytes(header_only.data(), header_only.size()));
  EXPECT_TRUE(r.header_valid());
  EXPECT_TRUE(r.entries().empty());
  EXPECT_TRUE(r.Verify().empty());
  EXPECT_FALSE(r.OpenBytes(nullptr, 5));
  EXPECT_FALSE(r.OpenFile(nullptr));
}

// A salvage reads what a damaged chain still gives: the blocks before the
// defect, cut at the stream's size and where the file ends, unscrambled as
// the whole stream would be.
TEST(ContainerReaderTest, ReadStreamPrefixGivesTheBlocksBeforeTheDamage) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    Defect defect;
    uint32_t bytes;  // of stream "C" (blocks 5, 6, 7; 2 * kB + 1 bytes)
    int32_t stopped_at;
  };
  const std::vector<Case> cases = {
      {"sound", [](auto&) {}, Defect::kNone, 2 * kB + 1, -1},
      {"link to a free block", [](auto& c) { SetLink(c, 5, 0); }, Defect::kChainFreeBlock, kB, 5},
      {"chain ends early", [](auto& c) { SetLink(c, 6, 0xFFFF); }, Defect::kChainShort, 2 * kB, -1},
      {"chain loops", [](auto& c) { SetLink(c, 6, 5); }, Defect::kChainLoop, 2 * kB, 5},
      {"link beyond the table", [](auto& c) { SetLink(c, 5, kT); }, Defect::kLinkOutOfRange, kB,
       kT},
      {"first block beyond the table", [](auto& c) { StoreU16(Entry(c, 2), 38, kT + 1); },
       Defect::kLinkOutOfRange, 0, kT + 1},
      {"file ends inside block 6", [](auto& c) { c.resize(kData + 4 * kB + 100); },
       Defect::kBlockPastEnd, kB + 100, 6},
      {"file ends at block 6", [](auto& c) { c.resize(kData + 4 * kB); }, Defect::kBlockPastEnd, kB,
       6},
      // A recorded size shorter than the chain: that size is all there is.
      {"size shorter than the chain", [](auto& c) { StoreU32(Entry(c, 2), 34, kB); },
       Defect::kChainLong, kB, 6},
  };
  const std::vector<uint8_t> whole = Pattern(2 * kB + 1, 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = SoundContainer();
    c.damage(bytes);
    ContainerReader r;
    ASSERT_TRUE(r.OpenBytes(bytes.data(), bytes.size()));
    std::vector<uint8_t> out = {1, 2, 3};
    int32_t stopped_at = 99;
    EXPECT_EQ(r.ReadStreamPrefix(2, &out, &stopped_at), c.defect);
    EXPECT_EQ(stopped_at, c.stopped_at);
    EXPECT_EQ(out, std::vector<uint8_t>(whole.begin(), whole.begin() + c.bytes));
    // The strict reading gives all or nothing.
    EXPECT_EQ(r.ReadStream(2, &out), c.defect);
    EXPECT_EQ(out.size(), c.defect == Defect::kNone ? whole.size() : 0u);

    // Read in pieces of any size, out of the held bytes or through reads of a
    // file, the stream gives the same bytes, and says the same defect.
    for (const bool held : {true, false}) {
      ContainerReader pr;
      ASSERT_TRUE(held ? pr.OpenBytes(bytes.data(), bytes.size())
                       : pr.OpenFile(std::make_unique<UnheldFile>(bytes)));
      for (const size_t room : {size_t{1}, size_t{333}, size_t{kB}, size_t{kB + 7}}) {
        SCOPED_TRACE(std::to_string(room) + (held ? " held" : " read"));
        StreamPieces pieces;
        const Defect opened = pr.OpenStreamPieces(2, &pieces);
        std::vector<uint8_t> got;
        std::vector<uint8_t> piece(room);
        size_t n = 0;
        while (pieces.Next(piece.data(), room, &n) && n != 0) {
          got.insert(got.end(), piece.begin(), piece.begin() + static_cast<ptrdiff_t>(n));
        }
        EXPECT_EQ(got, std::vector<uint8_t>(whole.begin(), whole.begin() + c.bytes));
        EXPECT_EQ(opened != Defect::kNone ? opened : pieces.defect(), c.defect);
      }
    }
  }
}

// A file whose reads fail from a given offset on.
TEST(ContainerReaderTest, StreamPiecesStopAtAReadThatFails) {
  std::vector<uint8_t> bytes = SoundContainer();
  ContainerReader r;
  auto file = std::make_unique<UnheldFile>(bytes);
  UnheldFile* f = file.get();
  ASSERT_TRUE(r.OpenFile(std::move(file)));
  f->fail_from = kData + 3 * kB + 10;  // inside block 5, stream "C"'s first
  StreamPieces pieces;
  ASSERT_EQ(r.OpenStreamPieces(2, &pieces), Defect::kNone);
  std::vector<uint8_t> piece(64);
  size_t n = 0;
  size_t total = 0;
  while (pieces.Next(piece.data(), piece.size(), &n) && n != 0) total += n;
  EXPECT_EQ(pieces.defect(), Defect::kReadFailed);
  EXPECT_LT(total, size_t{kB});
  EXPECT_FALSE(pieces.Next(piece.data(), piece.size(), &n));
  std::vector<uint8_t> out = {1};
  EXPECT_EQ(r.ReadStreamPrefix(2, &out), Defect::kReadFailed);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace tl
