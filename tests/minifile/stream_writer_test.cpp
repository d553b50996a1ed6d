// Stream writes: layout on disk, replacement, refusals, and what a failed or
// interrupted write leaves behind.
#include <gtest/gtest.h>

#include <cstring>

#include "common/le.h"
#include "minifile/dir_entry.h"
#include "minifile_test_util.h"
#include "platform/system.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::Borrow;
using test::FaultPlan;
using test::ParamsScope;
using test::Pattern;

constexpr uint32_t kB = 512;

uint16_t DiskLink(const std::vector<uint8_t>& c, uint32_t index) {
  return LoadU16(c.data(), 128 + 2 * index);
}
const uint8_t* DiskEntry(const std::vector<uint8_t>& c, uint32_t tables, uint32_t e) {
  return c.data() + 128 + 2 * tables + 64 * e;
}

TEST(MiniFileWriteStreamTest, FirstStreamLayoutOnDisk) {
  ParamsScope params(kB, 16, 4);
  test::TempDir dir;
  const std::u16string path = dir.File("c.mnf");
  const auto data = Pattern(3 * kB + 1, 7);
  const uint64_t before = platform::UtcNowFileTime();
  MiniFileHandle* h = MiniFileOpen(path.c_str());
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(MiniFileWriteStream(h, u"ProgramList", data.data(), 3 * kB + 1), 3 * kB + 1);
  MiniFileClose(h);
  const auto c = test::ReadAll(dir.path() / "c.mnf");
  // Four blocks 2..5; the file ends right after the last stream byte.
  const uint32_t data_offset = 128 + 32 + 4 * 64;
  EXPECT_EQ(c.size(), data_offset + 3 * kB + 1);
  EXPECT_EQ(DiskLink(c, 0), 0xFFFF);
  EXPECT_EQ(DiskLink(c, 1), 0xFFFE);
  EXPECT_EQ(DiskLink(c, 2), 3);
  EXPECT_EQ(DiskLink(c, 3), 4);
  EXPECT_EQ(DiskLink(c, 4), 5);
  EXPECT_EQ(DiskLink(c, 5), 0xFFFF);
  for (uint32_t k = 6; k < 16; ++k) EXPECT_EQ(DiskLink(c, k), 0) << k;
  const uint8_t* e = DiskEntry(c, 16, 0);
  const char16_t name[] = u"ProgramList";
  for (uint32_t k = 0; k < 17; ++k) {
    EXPECT_EQ(LoadU16(e, 2 * k), k < 11 ? name[k] : 0) << k;
  }
  EXPECT_EQ(LoadU32(e, 34), 3 * kB + 1);
  EXPECT_EQ(LoadU16(e, 38), 2);
  EXPECT_GE(LoadU64(e, 40), before);
  EXPECT_LE(LoadU64(e, 40), platform::UtcNowFileTime());
  EXPECT_EQ(LoadU16(e, 48), 0x80);
  for (uint32_t k = 50; k < 64; ++k) EXPECT_EQ(e[k], 0);
  for (uint32_t k = 0; k < 3 * 64; ++k) EXPECT_EQ(DiskEntry(c, 16, 1)[k], 0);
  // Unscrambled with header bytes 32..39 along the chain.
  Rc4State s;
  Rc4SetKey(&s, c.data() + 32);
  std::vector<uint8_t> plain(c.begin() + data_offset, c.end());
  Rc4Crypt(&s, static_cast<uint32_t>(plain.size()), plain.data(), plain.data());
  EXPECT_EQ(plain, data);
  EXPECT_EQ(test::ReadBack(c, u"programlist"), data);
}

TEST(MiniFileWriteStreamTest, BlockCountsAndPadding) {
  struct Case {
    uint32_t size;
    uint32_t pad;
    uint32_t blocks;
    uint32_t file_size;  // relative to the data offset
  };
  const Case cases[] = {
      {1, 0, 1, 1},  {kB, 0, 1, kB},         {kB + 1, 0, 2, kB + 1},    {2 * kB, 0, 2, 2 * kB},
      {1, 1, 1, kB}, {kB + 1, 1, 2, 2 * kB}, {14 * kB, 0, 14, 14 * kB},  // every data block of the
                                                                         // container
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " pad " << c.pad);
    ParamsScope params(kB, 16, 1, c.pad);
    MemoryFile f;
    const auto data = Pattern(c.size, c.size);
    ASSERT_EQ(test::WriteStream(&f, u"s", data), c.size);
    const auto bytes = test::Bytes(f);
    const uint32_t data_offset = 128 + 32 + 64;
    EXPECT_EQ(bytes.size(), data_offset + c.file_size);
    uint32_t used = 0;
    for (uint32_t k = 2; k < 16; ++k) used += DiskLink(bytes, k) != 0;
    EXPECT_EQ(used, c.blocks);
    EXPECT_EQ(test::ReadBack(bytes, u"s"), data);
  }
}

TEST(MiniFileWriteStreamTest, RefusalsChangeNothing) {
  ParamsScope params(kB, 16, 2);  // 14 data blocks, 2 slots
  MemoryFile f;
  ASSERT_EQ(test::WriteStream(&f, u"ProgramList", Pattern(kB, 1)), kB);
  ASSERT_EQ(test::WriteStream(&f, u"BlockList", Pattern(2 * kB, 2)), 2 * kB);
  const auto before = test::Bytes(f);
  struct Case {
    const char* what;
    const char16_t* name;
    uint32_t size;
  };
  const Case cases[] = {
      {"empty name", u"", 10},
      {"null name", nullptr, 10},
      {"17 units", u"ABCDEFGHIJKLMNOPQ", 10},
      {"size 0", u"ProgramList", 0},
      {"no free slot", u"Other", 10},
      {"too large", u"BlockList", 13 * kB + 1},    // 11 free + its own 2 blocks
      {"too large", u"ProgramList", 12 * kB + 1},  // 11 free + its own 1 block
  };
  const auto data = Pattern(16 * kB, 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MiniFileHandle* h = MiniFileOpenFile(Borrow(&f));
    ASSERT_NE(h, nullptr);
    const std::vector<uint8_t> meta(h->meta, h->meta + h->meta_bytes());
    EXPECT_EQ(MiniFileWriteStream(h, c.name, data.data(), c.size), 0u);
    EXPECT_EQ(std::vector<uint8_t>(h->meta, h->meta + h->meta_bytes()), meta);
    EXPECT_EQ(h->dirty, 0u);
    MiniFileClose(h);
    EXPECT_EQ(test::Bytes(f), before);
  }
  // The largest stream that fits after a replace uses its own old blocks too.
  MiniFileHandle* h = MiniFileOpenFile(Borrow(&f), std::make_unique<MemoryJournalSite>());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(MiniFileWriteStream(h, u"BlockList", data.data(), 13 * kB), 13 * kB);
  EXPECT_EQ(MiniFileWriteStream(h, u"ABCDEFGHIJKLMNOP", data.data(), 1), 0u);  // no slot
  EXPECT_EQ(MiniFileWriteStream(h, u"PROGRAMLIST", data.data(), 1), 1u);
  MiniFileClose(h);
  ContainerReader r;
  const auto after = test::Bytes(f);
  ASSERT_TRUE(r.OpenBytes(after.data(), after.size()));
  EXPECT_TRUE(r.Verify().empty());
  EXPECT_EQ(r.entries()[0].name, u"PROGRAMLIST");  // the name of the latest call

  // 16 units is the longest name, stored whole and still terminated.
  MemoryFile g;
  ASSERT_EQ(test::WriteStream(&g, u"ABCDEFGHIJKLMNOP", Pattern(3, 1)), 3u);
  ASSERT_EQ(test::WriteStream(&g, u"abcdefghijklmnop", Pattern(4, 1)), 4u);  // replaces
  const auto named = test::Bytes(g);
  ASSERT_TRUE(r.OpenBytes(named.data(), named.size()));
  EXPECT_EQ(r.entries()[0].name, u"abcdefghijklmnop");
  EXPECT_FALSE(r.entries()[1].present());
  EXPECT_TRUE(r.Verify().empty());
}

TEST(MiniFileWriteStreamTest, ReplacementMatchesNamesFoldingAsciiOnlyAndNeedsThePresentBit) {
  ParamsScope params(kB, 16, 4);
  MemoryFile f;
  ASSERT_EQ(test::WriteStream(&f, u"ProgramList", Pattern(10, 1)), 10u);
  ASSERT_EQ(test::WriteStream(&f, u"pROGRAMlIST", Pattern(20, 2)), 20u);  // replaces
  ASSERT_EQ(test::WriteStream(&f, u"Ä", Pattern(30, 3)), 30u);
  ASSERT_EQ(test::WriteStream(&f, u"ä", Pattern(40, 4)), 40u);  // not folded: a new stream
  auto c = test::Bytes(f);
  ContainerReader r;
  ASSERT_TRUE(r.OpenBytes(c.data(), c.size()));
  ASSERT_EQ(r.entries().size(), 4u);
  EXPECT_EQ(r.entries()[0].name, u"pROGRAMlIST");
  EXPECT_EQ(r.entries()[0].size, 20u);
  EXPECT_EQ(r.entries()[1].name, u"Ä");
  EXPECT_EQ(r.entries()[2].name, u"ä");
  EXPECT_FALSE(r.entries()[3].present());
  EXPECT_TRUE(r.Verify().empty());

  // Without the present bit the entry is not the older stream: the new one
  // takes another slot and the flag-less entry stays as it was.
  uint8_t* e0 = c.data() + 128 + 32;
  e0[48] = 0;
  auto file = MemoryFile::FromBytes(c.data(), c.size());
  ASSERT_EQ(test::WriteStream(file.get(), u"ProgramList", Pattern(50, 5)), 50u);
  const auto after = test::Bytes(*file);
  EXPECT_EQ(std::memcmp(after.data() + 128 + 32, e0, 64), 0);
  ASSERT_TRUE(r.OpenBytes(after.data(), after.size()));
  EXPECT_EQ(r.FindStream(u"ProgramList"), 3);
}

TEST(MiniFileWriteStreamTest, StreamsShareTheKeystreamFromTheFirstByte) {
  ParamsScope params(kB, 16, 4);
  MemoryFile f;
  auto a = Pattern(100, 1), b = Pattern(100, 2);
  std::memcpy(b.data(), a.data(), 40);
  ASSERT_EQ(test::WriteStream(&f, u"a", a), 100u);
  ASSERT_EQ(test::WriteStream(&f, u"b", b), 100u);
  const auto c = test::Bytes(f);
  const uint32_t data_offset = 128 + 32 + 256;
  EXPECT_EQ(std::memcmp(c.data() + data_offset, c.data() + data_offset + kB, 40), 0);
  EXPECT_NE(std::memcmp(c.data() + data_offset + 40, c.data() + data_offset + kB + 40, 60), 0);
}

// The new stream goes into blocks that were free before the write; the
// replaced stream's blocks are reused only when those run short, and the chain
// still rises.
TEST(MiniFileWriteStreamTest, ReplacementPrefersBlocksFreeBeforeTheWrite) {
  ParamsScope params(kB, 16, 4);  // blocks 2..15
  struct Case {
    uint32_t new_size;
    std::vector<uint16_t> chain;
  };
  // Old "P" holds 2,3; "Q" holds 4; free: 5..15.
  const Case cases[] = {
      {2 * kB, {5, 6}},
      {11 * kB, {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
      {12 * kB, {2, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
      {13 * kB, {2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
  };
  for (const Case& c : cases) {
    MemoryFile f;
    ASSERT_EQ(test::WriteStream(&f, u"P", Pattern(2 * kB, 1)), 2 * kB);
    ASSERT_EQ(test::WriteStream(&f, u"Q", Pattern(kB, 2)), kB);
    const auto data = Pattern(c.new_size, 3);
    ASSERT_EQ(test::WriteStream(&f, u"P", data), c.new_size);
    const auto bytes = test::Bytes(f);
    ContainerReader r;
    ASSERT_TRUE(r.OpenBytes(bytes.data(), bytes.size()));
    EXPECT_TRUE(r.Verify().empty());
    const int e = r.FindStream(u"P");
    ASSERT_EQ(e, 0);  // the old slot is the first free one
    std::vector<uint16_t> chain;
    for (uint16_t b = r.entries()[0].first_block; b != 0xFFFF && chain.size() < 16; b = r.Link(b)) {
      chain.push_back(b);
    }
    EXPECT_EQ(chain, c.chain);
    EXPECT_EQ(test::ReadBack(bytes, u"P"), data);
    EXPECT_EQ(test::ReadBack(bytes, u"Q"), Pattern(kB, 2));
  }
}

// Damaged chains of an older stream are freed within bounds: the walk stops at
// a loop, a link out of range or into entries 0 and 1, and the write succeeds.
TEST(MiniFileWriteStreamTest, DamagedOlderChainsAreFreedWithinBounds) {
  ParamsScope params(kB, 16, 2);
  struct Case {
    const char* what;
    uint16_t first;
    std::vector<std::pair<uint16_t, uint16_t>> links;
  };
  const Case cases[] = {
      {"loop", 2, {{2, 3}, {3, 2}}},   {"self loop", 2, {{2, 2}}},
      {"beyond table", 2, {{2, 200}}}, {"to entry 0", 2, {{2, 0}}},
      {"to entry 1", 2, {{2, 1}}},     {"first block beyond", 0x9999, {}},
      {"first block 1", 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryFile f;
    ASSERT_EQ(test::WriteStream(&f, u"P", Pattern(2 * kB, 1)), 2 * kB);
    auto bytes = test::Bytes(f);
    for (auto [at, to] : c.links) StoreU16(bytes.data(), 128 + 2 * at, to);
    StoreU16(bytes.data(), 128 + 16 + 38, c.first);
    auto file = MemoryFile::FromBytes(bytes.data(), bytes.size());
    const auto data = Pattern(3 * kB, 2);
    ASSERT_EQ(test::WriteStream(file.get(), u"P", data), 3 * kB);
    EXPECT_EQ(test::ReadBack(test::Bytes(*file), u"P"), data);
  }
}

struct CrashFixture {
  std::vector<uint8_t> before;
  std::vector<uint8_t> old_p, q, new_p;
};

// Q holds blocks 2..3, the older P blocks 4..6, and 9 blocks are free: a new P
// of more than 9 blocks reuses blocks of the older one.
CrashFixture MakeCrashFixture(uint32_t new_blocks) {
  CrashFixture fx;
  MemoryFile f;
  fx.old_p = Pattern(2 * kB + 5, 1);
  fx.q = Pattern(kB + 9, 2);
  fx.new_p = Pattern(new_blocks * kB - 3, 3);
  EXPECT_EQ(test::WriteStream(&f, u"Q", fx.q), kB + 9);
  EXPECT_EQ(test::WriteStream(&f, u"P", fx.old_p), 2 * kB + 5);
  fx.before = test::Bytes(f);
  return fx;
}

// A container and its journal, both in memory, opened with every call of both
// going through `plan`.
struct Disk {
  std::unique_ptr<MemoryFile> file;
  MemoryJournalSite journal;
  explicit Disk(const std::vector<uint8_t>& bytes)
      : file(MemoryFile::FromBytes(bytes.data(), bytes.size())) {}
  MiniFileHandle* Open(FaultPlan* plan) {
    return MiniFileOpenFile(test::WrapFaults(Borrow(file.get()), plan),
                            std::make_unique<test::FaultJournalSite>(&journal, plan));
  }
  // The next open (recovery included) and close, without faults.
  std::vector<uint8_t> Reopened() {
    FaultPlan none;
    MiniFileHandle* h = Open(&none);
    EXPECT_NE(h, nullptr);
    MiniFileClose(h);
    EXPECT_FALSE(journal.Exists());
    return test::Bytes(*file);
  }
};

// For every n: a replace write whose writes stop after the n-th (a crash)
// leaves, after the next open, a sound container with the older or the newer
// stream, and the other stream byte for byte; once the last write got through,
// the newer one. The same when the new stream must reuse blocks of the older
// one: the journal's writes and its deletion are among the n.
TEST(MiniFileWriteStreamTest, CrashAtAnyWriteLeavesOldOrNewStream) {
  ParamsScope params(kB, 16, 4);
  struct Case {
    uint32_t new_blocks;
    uint32_t writes;  // of a write that completes
  };
  const Case cases[] = {
      {4, 5},  // four free blocks, then table and directory at once
      // journal: header, header image, after image, table+directory record
      // (2), two reused blocks (2 each), check; then 11 blocks, table and
      // directory, the deletion
      {11, 10 + 11 + 1 + 1},
      {12, 12 + 12 + 1 + 1},  // every block of the older stream reused
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.new_blocks);
    const CrashFixture fx = MakeCrashFixture(c.new_blocks);
    const auto size = static_cast<uint32_t>(fx.new_p.size());
    FaultPlan count;
    {
      Disk disk(fx.before);
      MiniFileHandle* h = disk.Open(&count);
      ASSERT_NE(h, nullptr);
      ASSERT_EQ(MiniFileWriteStream(h, u"P", fx.new_p.data(), size), size);
      MiniFileClose(h);
      EXPECT_FALSE(disk.journal.Exists());
    }
    ASSERT_EQ(count.writes, c.writes);
    for (uint32_t n = 0; n <= count.writes; ++n) {
      SCOPED_TRACE(n);
      Disk disk(fx.before);
      FaultPlan plan;
      plan.drop_writes_after = n;
      MiniFileHandle* h = disk.Open(&plan);
      ASSERT_NE(h, nullptr);
      MiniFileWriteStream(h, u"P", fx.new_p.data(), size);
      MiniFileClose(h);
      const auto after = disk.Reopened();
      ContainerReader r;
      ASSERT_TRUE(r.OpenBytes(after.data(), after.size()));
      EXPECT_TRUE(r.Verify().empty());
      EXPECT_EQ(test::ReadBack(after, u"Q"), fx.q);
      EXPECT_EQ(test::ReadBack(after, u"P"), n < count.writes ? fx.old_p : fx.new_p);
    }
  }
}

// For every n: the n-th read, write or flush failing makes the write return 0
// and leaves file and handle with the older stream; the handle stays usable.
TEST(MiniFileWriteStreamTest, FailureAtAnyCallKeepsOlderStreamAndHandle) {
  ParamsScope params(kB, 16, 4);
  for (uint32_t new_blocks : {3u, 11u}) {
    const CrashFixture fx = MakeCrashFixture(new_blocks);
    const auto size = static_cast<uint32_t>(fx.new_p.size());
    const bool reuse = new_blocks > 9;
    for (int kind = 0; kind < 3; ++kind) {
      for (uint32_t n = 1;; ++n) {
        SCOPED_TRACE(testing::Message() << new_blocks << " blocks, "
                                        << (kind == 0   ? "write "
                                            : kind == 1 ? "flush "
                                                        : "read ")
                                        << n);
        Disk disk(fx.before);
        FaultPlan plan;
        MiniFileHandle* h = disk.Open(&plan);
        ASSERT_NE(h, nullptr);
        // Counted from the write on: the open's own reads are not its faults.
        const uint32_t base = plan.reads;
        (kind == 0   ? plan.fail_write_at
         : kind == 1 ? plan.fail_flush_at
                     : plan.fail_read_at) = (kind == 2 ? base : 0) + n;
        const uint32_t r = MiniFileWriteStream(h, u"P", fx.new_p.data(), size);
        const uint32_t calls = kind == 0   ? plan.writes
                               : kind == 1 ? plan.flushes
                                           : plan.reads - base;
        if (calls < n) {  // the fault was never reached: the write completed
          EXPECT_EQ(r, size);
          MiniFileClose(h);
          EXPECT_FALSE(disk.journal.Exists());
          EXPECT_GT(n, kind == 2 && !reuse ? 0u : 1u);  // only a journal needs reads
          break;
        }
        EXPECT_EQ(r, 0u);
        EXPECT_FALSE(disk.journal.Exists());
        // Also when only the flush of the new table failed: the older one is
        // written back.
        EXPECT_EQ(test::ReadBack(test::Bytes(*disk.file), u"P"), fx.old_p);
        // The handle still describes the file: a second attempt succeeds.
        EXPECT_EQ(MiniFileWriteStream(h, u"P", fx.new_p.data(), size), size);
        MiniFileClose(h);
        const auto after = test::Bytes(*disk.file);
        EXPECT_EQ(test::ReadBack(after, u"P"), fx.new_p);
        EXPECT_EQ(test::ReadBack(after, u"Q"), fx.q);
        ASSERT_LT(n, 40u);
      }
    }
  }
}

}  // namespace
}  // namespace tl

namespace tl {
namespace {

// Blocks above the writer's buffer size go out in pieces and read back whole,
// padding included.
TEST(MiniFileWriteStreamTest, BlocksLargerThanTheBufferAreWrittenInPieces) {
  const uint32_t big = 2 * kMaxBlockBuffer + 512;
  for (uint32_t pad = 0; pad < 2; ++pad) {
    test::ParamsScope params(big, 16, 1, pad);
    MemoryFile f;
    FaultPlan plan;
    MiniFileHandle* h = MiniFileOpenFile(test::WrapFaults(test::Borrow(&f), &plan));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->block_buffer_size, kMaxBlockBuffer);
    const auto data = test::Pattern(big + 5, 9);
    ASSERT_EQ(MiniFileWriteStream(h, u"s", data.data(), big + 5), big + 5);
    MiniFileClose(h);
    // Block 2 in three pieces, block 3 in one (or three when padded), the
    // header of the new file, then table and directory.
    EXPECT_EQ(plan.writes, 1u + 3u + (pad ? 3u : 1u) + 1u);
    EXPECT_EQ(f.size(), 128u + 32u + 64u + (pad ? 2 * big : big + 5));
    EXPECT_EQ(test::ReadBack(test::Bytes(f), u"s"), data);
  }
}

}  // namespace
}  // namespace tl

namespace tl {
namespace {

// A table and directory that reach past the first 4 KiB of the file could be
// torn by a power loss into a mix that describes neither stream: even a write
// into free blocks then goes through the journal, and a write torn anywhere
// in that range leaves, after the next open, the older or the newer stream.
TEST(MiniFileWriteStreamTest, TableAndDirectoryPastOnePageAreJournaled) {
  for (const uint32_t table_entries : {16u, 2048u}) {
    SCOPED_TRACE(table_entries);
    test::ParamsScope params(kB, table_entries, 4);
    const auto q = test::Pattern(kB + 9, 2), old_p = test::Pattern(kB, 1),
               new_p = test::Pattern(3 * kB, 3);
    MemoryFile f;
    ASSERT_EQ(test::WriteStream(&f, u"Q", q), kB + 9);
    ASSERT_EQ(test::WriteStream(&f, u"P", old_p), kB);
    const std::vector<uint8_t> before = test::Bytes(f);
    // Every write but the last (the journal's deletion, when there is one).
    FaultPlan count;
    {
      Disk disk(before);
      MiniFileHandle* h = disk.Open(&count);
      ASSERT_EQ(MiniFileWriteStream(h, u"P", new_p.data(), 3 * kB), 3 * kB);
      MiniFileClose(h);
    }
    Disk disk(before);
    FaultPlan plan;
    plan.drop_writes_after = count.writes - 1;
    MiniFileHandle* h = disk.Open(&plan);
    MiniFileWriteStream(h, u"P", new_p.data(), 3 * kB);
    MiniFileClose(h);
    EXPECT_EQ(disk.journal.Exists(), table_entries == 2048u);
    if (table_entries != 2048u) continue;
    // The table and directory torn at the page boundary, either half on disk.
    const std::vector<uint8_t> done = test::Bytes(*disk.file);
    for (const bool low_half : {true, false}) {
      std::vector<uint8_t> torn = done;
      for (size_t k = low_half ? 4096 : 0; k < (low_half ? torn.size() : 4096); ++k) {
        if (k >= kTableOffset && k < before.size() && k < 4096 + 2048 * 2 + 4 * 128) {
          torn[k] = before[k];
        }
      }
      Disk again(torn);
      again.journal.Plant(test::Bytes(*disk.journal.file()).data(), disk.journal.file()->size());
      const std::vector<uint8_t> after = again.Reopened();
      EXPECT_EQ(test::ReadBack(after, u"P"), old_p);
      EXPECT_EQ(test::ReadBack(after, u"Q"), q);
    }
  }
}

}  // namespace
}  // namespace tl
