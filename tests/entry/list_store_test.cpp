// The list store: one writer per container (a second open waits, then gives
// up having changed nothing), the writer's room rule, the causes of failure,
// and creation parameters that never touch the process-wide record.
#include "entry/list_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "blocklist/var_block_list.h"
#include "entry/hash_list.h"
#include "minifile/creation_parameters.h"
#include "minifile/minifile.h"
#include "minifile/minifile_test_util.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

constexpr CreationParameters kSmall{20, 512, 16, 4, 0};  // 14 data blocks of 512 bytes

TEST(ListStore, ASecondWriterWaitsThenGivesUpHavingChangedNothing) {
  test::TempDir dir;
  const std::u16string path = dir.File("c.mnf");
  ListStore first;
  ASSERT_EQ(first.Open(path.c_str(), kSmall), StoreStatus::kOk);
  EXPECT_TRUE(first.created());
  const auto payload = test::Pattern(700, 1);
  ASSERT_EQ(first.Write(u"P", payload.data(), 700), StoreStatus::kOk);
  const auto held = test::ReadAll(dir.path() / "c.mnf");

  // Bounded wait while the first writer holds it: in use, nothing written.
  ListStore second;
  StoreOptions brief;
  brief.wait_ms = 150;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(second.Open(path.c_str(), kSmall, brief), StoreStatus::kInUse);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_FALSE(second.is_open());
  EXPECT_EQ(test::ReadAll(dir.path() / "c.mnf"), held);

  // A writer that is waiting when the first one lets go gets the container.
  StoreStatus waited = StoreStatus::kNotOpen;
  std::thread t([&] {
    ListStore third;
    waited = third.Open(path.c_str(), kSmall);
    if (waited == StoreStatus::kOk) {
      const auto q = test::Pattern(300, 2);
      waited = third.Write(u"Q", q.data(), 300);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  first.Close();
  t.join();
  EXPECT_EQ(waited, StoreStatus::kOk);
  const auto after = test::ReadAll(dir.path() / "c.mnf");
  EXPECT_EQ(test::ReadBack(after, u"P"), payload);
  EXPECT_EQ(test::ReadBack(after, u"Q").size(), 300u);
}

// The container's own open holds it as a writer too: it waits for the store's
// writer before it recovers or writes anything.
TEST(ListStore, MiniFileOpenWaitsForTheWriter) {
  test::TempDir dir;
  const std::u16string path = dir.File("c.mnf");
  ListStore held;
  ASSERT_EQ(held.Open(path.c_str(), kSmall), StoreStatus::kOk);
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration waited{};
  bool opened = false;
  std::thread t([&] {
    MiniFileHandle* h = MiniFileOpen(path.c_str());
    waited = std::chrono::steady_clock::now() - start;
    opened = h != nullptr;
    MiniFileClose(h);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  held.Close();
  t.join();
  EXPECT_TRUE(opened);
  EXPECT_GE(waited, std::chrono::milliseconds(200));
}

TEST(ListStore, RoomIsWhatTheWriterTakes) {
  test::TempDir dir;
  const std::u16string path = dir.File("c.mnf");
  // Each step in an open of its own, as commits and edits do.
  auto write = [&](const char16_t* name, uint32_t size, uint64_t* room_before) {
    ListStore s;
    EXPECT_EQ(s.Open(path.c_str(), kSmall), StoreStatus::kOk);
    if (room_before != nullptr) *room_before = s.Room(name);
    const auto data = test::Pattern(size, size);
    return s.Write(name, data.data(), size);
  };
  uint64_t room = 0;
  EXPECT_EQ(write(u"A", 5 * 512, &room), StoreStatus::kOk);
  EXPECT_EQ(room, 14u * 512);
  {
    ListStore s;
    ASSERT_EQ(s.Open(path.c_str(), kSmall), StoreStatus::kOk);
    EXPECT_EQ(s.Room(u"P"), 9u * 512);   // the free blocks
    EXPECT_EQ(s.Room(u"a"), 14u * 512);  // and, for A itself (names fold), its own
  }
  // One byte more than the room: refused, nothing changed; the room itself fits.
  const auto before = test::ReadAll(dir.path() / "c.mnf");
  EXPECT_EQ(write(u"P", 9 * 512 + 1, nullptr), StoreStatus::kNoRoom);
  EXPECT_EQ(test::ReadAll(dir.path() / "c.mnf"), before);
  EXPECT_EQ(write(u"P", 9 * 512, nullptr), StoreStatus::kOk);
  // Every block in use: only A and P can be rewritten (into their own blocks,
  // through the journal).
  EXPECT_EQ(write(u"B", 10, &room), StoreStatus::kNoRoom);
  EXPECT_EQ(room, 0u);
  EXPECT_EQ(write(u"A", 10, nullptr), StoreStatus::kOk);
  EXPECT_EQ(write(u"B", 10, nullptr), StoreStatus::kOk);
  EXPECT_EQ(write(u"C", 10, nullptr), StoreStatus::kOk);
  // Four directory entries, all in use: no slot for a fifth name.
  EXPECT_EQ(write(u"D", 10, &room), StoreStatus::kNoRoom);
  EXPECT_EQ(room, 0u);
}

TEST(ListStore, EachFailureHasItsCause) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.path() / "folder");
  const std::u16string folder = dir.File("folder");
  const std::u16string missing_dir = dir.File("no/such/c.mnf");
  const std::u16string path = dir.File("c.mnf");
  struct Case {
    const char* what;
    const char16_t* path;
    CreationParameters params;
    StoreStatus want;
  };
  const Case cases[] = {
      {"a directory", folder.c_str(), kSmall, StoreStatus::kNotRegularFile},
      {"a folder that does not exist", missing_dir.c_str(), kSmall, StoreStatus::kOpenFailed},
      {"no path", u"", kSmall, StoreStatus::kOpenFailed},
      // 512-byte blocks, 65535 entries: the data area passes 2 GiB.
      {"parameters past the format", path.c_str(), CreationParameters{20, 0x100000, 4096, 4, 0},
       StoreStatus::kBadParameters},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ListStore s;
    EXPECT_EQ(s.Open(c.path, c.params), c.want);
    EXPECT_FALSE(s.is_open());
    EXPECT_STRNE(StoreStatusText(c.want), "unknown");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "c.mnf"));  // refused before the open
  ListStore s;
  ASSERT_EQ(s.Open(path.c_str(), kSmall), StoreStatus::kOk);
  const auto p = test::Pattern(10, 1);
  EXPECT_EQ(s.Write(u"", p.data(), 10), StoreStatus::kBadStreamName);
  EXPECT_EQ(s.Write(u"SeventeenUnitsXYZ", p.data(), 10), StoreStatus::kBadStreamName);
  s.Close();
  EXPECT_EQ(s.Write(u"P", p.data(), 10), StoreStatus::kNotOpen);
}

TEST(ListStore, ParametersArePassedNotSet) {
  const CreationParameters global = GetCreationParameters();
  test::TempDir dir;
  const std::u16string path = dir.File("c.mnf");
  ListStore s;
  ASSERT_EQ(s.Open(path.c_str(), kCommitCreationParameters), StoreStatus::kOk);
  CVarBlockList list;
  uint8_t block[kHashBlockSize + 32] = {};
  BuildHashBlock(block, 0x2000, 0x1234abcd);
  ASSERT_NE(list.AddBlockCopy(block), 0u);
  uint32_t count = 0;
  uint32_t bytes = 0;
  ASSERT_EQ(s.WriteList(u"ProgramList", list, &count, &bytes), StoreStatus::kOk);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(bytes, 16u + 200 + 4);
  EXPECT_EQ(s.handle()->geometry.block_size, 0x100000u);
  EXPECT_EQ(s.handle()->geometry.table_entries, 32u);
  s.Close();
  const CreationParameters now = GetCreationParameters();
  EXPECT_EQ(now.blockSize, global.blockSize);
  EXPECT_EQ(now.tableEntries, global.tableEntries);
  EXPECT_EQ(now.directoryEntries, global.directoryEntries);

  // A container that was created and not written can be taken back; one that
  // existed before the open never is.
  const std::u16string fresh = dir.File("fresh.mnf");
  ASSERT_EQ(s.Open(fresh.c_str(), kSmall), StoreStatus::kOk);
  EXPECT_TRUE(s.DiscardCreated());
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "fresh.mnf"));
  ASSERT_EQ(s.Open(path.c_str(), kSmall), StoreStatus::kOk);
  EXPECT_FALSE(s.created());
  EXPECT_TRUE(s.DiscardCreated());
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "c.mnf"));
}

}  // namespace
}  // namespace tl
