#include "entry/payload_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "blocklist/block_header.h"
#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "entry/hash_list.h"
#include "entry/list_payload.h"
#include "entry/list_stream.h"
#include "platform/file.h"
#include "support/list_import.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::ImportHashListInto;

// A block of `size` bytes with `key`, its body filled from `fill`, and link
// and transient bytes that a stored copy must not carry.
std::vector<uint8_t> Block(uint64_t key, uint32_t size, uint8_t fill) {
  std::vector<uint8_t> b(size, fill);
  StoreU32(b.data(), kBlockSizeOffset, size);
  StoreU64(b.data(), kBlockKeyOffset, key);
  StoreU64(b.data(), kBlockNextOffset, 0x1122334455667788ull);
  StoreU64(b.data(), kBlockPrevOffset, 0x99AABBCCDDEEFF00ull);
  StoreU32(b.data(), kBlockTransientOffset, 0xDEADBEEF);
  return b;
}

std::vector<uint8_t> Owned(uint8_t* p, uint32_t size) {
  std::vector<uint8_t> v(p, p + size);
  ZeroFree(p);
  return v;
}

// The payload the list road gives for the same adds: the rule the builder keeps.
std::vector<uint8_t> ThroughList(const std::vector<std::vector<uint8_t>>& adds, uint32_t* count) {
  CVarBlockList list;
  for (const auto& b : adds) list.AddBlockCopy(b.data());
  uint32_t size = 0;
  uint8_t* p = BuildListPayload(list, &size, count);
  return p != nullptr ? Owned(p, size) : std::vector<uint8_t>();
}

std::vector<uint8_t> ThroughBuilder(const std::vector<std::vector<uint8_t>>& adds,
                                    uint32_t* count) {
  PayloadBuilder built;
  for (const auto& b : adds) EXPECT_TRUE(built.Add(b.data(), static_cast<uint32_t>(b.size())));
  const uint64_t expected = built.payload_size();
  uint32_t size = 0;
  uint8_t* p = built.Finish(&size, count);
  EXPECT_EQ(size, expected);
  // The bytes behind the payload are zero, as behind any payload buffer.
  for (size_t k = 0; k < kSpareBytes; ++k) EXPECT_EQ(p[size + k], 0) << "spare byte " << k;
  EXPECT_EQ(built.count(), 0u);
  return Owned(p, size);
}

TEST(PayloadBuilder, GivesTheListsPayloadByteForByte) {
  struct Case {
    const char* name;
    std::vector<std::vector<uint8_t>> adds;
  };
  std::vector<Case> cases = {
      {"nothing", {}},
      {"one block", {Block(7, 48, 1)}},
      {"sizes vary", {Block(1, 200, 1), Block(2, 48, 2), Block(3, 1000, 3)}},
      {"a repeat replaces and moves to the end",
       {Block(1, 200, 1), Block(2, 200, 2), Block(3, 200, 3), Block(1, 64, 9)}},
      {"the last one repeated", {Block(1, 200, 1), Block(2, 200, 2), Block(2, 300, 5)}},
      {"repeated over and over",
       {Block(5, 100, 1), Block(5, 120, 2), Block(6, 60, 3), Block(5, 80, 4), Block(6, 48, 5)}},
      {"key 0 is a key like another", {Block(0, 64, 1), Block(1, 64, 2), Block(0, 72, 3)}},
  };
  // Enough blocks to grow the buffer and the key table several times, with
  // every third key coming back later.
  Case many{"many, growing, with repeats", {}};
  for (uint32_t i = 0; i < 5000; ++i) many.adds.push_back(Block(i * 2654435761u, 200, uint8_t(i)));
  for (uint32_t i = 0; i < 5000; i += 3) many.adds.push_back(Block(i * 2654435761u, 96, 0xEE));
  cases.push_back(many);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t list_count = 0, built_count = 0;
    const auto want = ThroughList(c.adds, &list_count);
    const auto got = ThroughBuilder(c.adds, &built_count);
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(got, want);
    EXPECT_EQ(built_count, list_count);
  }
}

TEST(PayloadBuilder, RefusesWhatNoListHoldsAndKeepsWhatItHad) {
  PayloadBuilder built;
  const auto first = Block(1, 200, 1);
  ASSERT_TRUE(built.Add(first.data(), 200));
  // Sizes no block has.
  const auto small = Block(2, 48, 2);
  EXPECT_FALSE(built.Add(small.data(), 47));
  EXPECT_FALSE(built.Add(first.data(), 0x80000001u));
  // Memory that cannot be had, for the buffer (grown here) or the key table.
  std::vector<std::vector<uint8_t>> more;
  for (uint32_t i = 0; i < 2000; ++i) more.push_back(Block(100 + i, 200, 3));
  bool refused = false;
  uint32_t added = 1;
  for (const auto& b : more) {
    SetAllocFailureAt(1, true);
    const bool ok = built.Add(b.data(), 200);
    SetAllocFailureAt(0);
    if (!ok) {
      refused = true;
      break;
    }
    ++added;
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(built.count(), added);
  // The blocks added before the refusal are all there, in order.
  std::vector<std::vector<uint8_t>> kept = {first};
  kept.insert(kept.end(), more.begin(), more.begin() + (added - 1));
  uint32_t count = 0, list_count = 0;
  uint32_t size = 0;
  uint8_t* finished = built.Finish(&size, &count);
  const auto got = Owned(finished, size);
  EXPECT_EQ(got, ThroughList(kept, &list_count));
  EXPECT_EQ(count, added);
}

// The import's payload equals the one the list road builds from the same file,
// through line ends of every kind, skipped lines and repeated pairs.
TEST(PayloadBuilder, HashListPayloadEqualsTheListRoads) {
  test::TempDir dir;
  std::string text = "1 2\r\n3 4\nbad line\n1 2\r5 6\n0x10 0X20 name\n3 4\n";
  for (uint32_t i = 0; i < 3000; ++i) {
    text += std::to_string(i % 700) + " " + std::to_string(i % 11) + (i % 5 ? "\n" : "\r\n");
  }
  const auto path = dir.path() / "list.txt";
  test::WriteAll(path, std::vector<uint8_t>(text.begin(), text.end()));
  CVarBlockList list;
  ASSERT_TRUE(ImportHashListInto(list, path.u16string().c_str()));
  uint32_t list_size = 0, list_count = 0;
  uint8_t* listed = BuildListPayload(list, &list_size, &list_count);
  const auto want = Owned(listed, list_size);
  ASSERT_GT(want.size(), 3000u);

  PayloadBuilder built;
  HashListStats stats;
  std::unique_ptr<platform::File> file = platform::OpenFileForReading(path.u16string().c_str());
  ASSERT_TRUE(file);
  ASSERT_TRUE(BuildHashListPayload(*file, built, &stats));
  EXPECT_EQ(stats.skipped, 1u);
  uint32_t size = 0, count = 0;
  uint8_t* finished = built.Finish(&size, &count);
  const auto got = Owned(finished, size);
  EXPECT_EQ(got, want);
  EXPECT_EQ(count, list_count);

  // Memory short for any one line's block: the import says so and is not
  // whole, whichever allocation failed.
  for (uint64_t n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    PayloadBuilder short_of_memory;
    file = platform::OpenFileForReading(path.u16string().c_str());
    ASSERT_TRUE(file);
    SetAllocFailureAt(n, true);
    const bool whole = BuildHashListPayload(*file, short_of_memory, &stats);
    SetAllocFailureAt(0);
    EXPECT_FALSE(whole);
    EXPECT_GT(stats.dropped, 0u);
  }
}

}  // namespace
}  // namespace tl
