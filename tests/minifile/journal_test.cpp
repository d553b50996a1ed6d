// The rollback journal beside a container: what counts as complete, what the
// next open does with it, and what the reader reports.
#include "minifile/journal.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/crc32.h"
#include "common/le.h"
#include "minifile_test_util.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::FaultPlan;
using test::Pattern;

constexpr uint32_t kB = 512;

// A container whose replacement of P (reusing blocks) was cut off just before
// the journal's deletion: `torn` holds the new blocks, table and directory, and
// `journal` the complete journal that undoes them.
struct Interrupted {
  std::vector<uint8_t> before, torn, journal;
  std::vector<uint8_t> old_p, q;
};

Interrupted MakeInterrupted() {
  test::ParamsScope params(kB, 16, 4);
  Interrupted it;
  MemoryFile f;
  it.q = Pattern(kB + 9, 2);
  it.old_p = Pattern(2 * kB + 5, 1);
  EXPECT_EQ(test::WriteStream(&f, u"Q", it.q), kB + 9);
  EXPECT_EQ(test::WriteStream(&f, u"P", it.old_p), 2 * kB + 5);
  it.before = test::Bytes(f);
  const auto new_p = Pattern(12 * kB, 3);
  MemoryJournalSite site;
  FaultPlan count;
  {
    MiniFileHandle* h = MiniFileOpenFile(test::WrapFaults(test::Borrow(&f), &count),
                                         std::make_unique<test::FaultJournalSite>(&site, &count));
    EXPECT_EQ(MiniFileWriteStream(h, u"P", new_p.data(), 12 * kB), 12 * kB);
    MiniFileClose(h);
  }
  auto file = MemoryFile::FromBytes(it.before.data(), it.before.size());
  FaultPlan plan;
  plan.drop_writes_after = count.writes - 1;  // all but the deletion
  MiniFileHandle* h = MiniFileOpenFile(test::WrapFaults(test::Borrow(file.get()), &plan),
                                       std::make_unique<test::FaultJournalSite>(&site, &plan));
  MiniFileWriteStream(h, u"P", new_p.data(), 12 * kB);
  MiniFileClose(h);
  it.torn = test::Bytes(*file);
  EXPECT_TRUE(site.Exists());
  if (site.Exists()) it.journal = test::Bytes(*site.file());
  return it;
}

// Stores a fresh check over a journal's bytes.
void Reseal(std::vector<uint8_t>* j) {
  StoreU32(j->data(), j->size() - 4, Crc32(j->data(), j->size() - 4));
}

// Names the file at `path` as the one a journal was made for, as a write to
// that file would have, and reseals it.
void MadeFor(std::vector<uint8_t>* j, const std::u16string& path) {
  platform::FileIdentity id;
  auto f = platform::OpenFileForReading(path.c_str());
  ASSERT_TRUE(f && f->Identity(&id));
  StoreU64(j->data(), kJournalVolumeOffset, id.volume);
  StoreU64(j->data(), kJournalFileIndexOffset, id.index);
  Reseal(j);
}

TEST(Journal, CompleteOnlyWhenWholeAndChecked) {
  const Interrupted it = MakeInterrupted();
  ASSERT_NE(it.torn, it.before);
  ASSERT_GT(it.journal.size(), 2 * kB);
  struct Case {
    const char* what;
    void (*damage)(std::vector<uint8_t>*);
    JournalState state;
    bool other_file = false;  // complete, but made for another file: never applied
  };
  const Case cases[] = {
      {"as written", [](std::vector<uint8_t>*) {}, JournalState::kComplete},
      {"last byte missing", [](std::vector<uint8_t>* j) { j->pop_back(); },
       JournalState::kIncomplete},
      {"only the header", [](std::vector<uint8_t>* j) { j->resize(kJournalHeaderSize); },
       JournalState::kIncomplete},
      {"empty", [](std::vector<uint8_t>* j) { j->clear(); }, JournalState::kIncomplete},
      {"a saved byte flipped", [](std::vector<uint8_t>* j) { (*j)[100] ^= 1; },
       JournalState::kIncomplete},
      {"magic", [](std::vector<uint8_t>* j) { (*j)[0] ^= 1, Reseal(j); },
       JournalState::kIncomplete},
      {"version", [](std::vector<uint8_t>* j) { StoreU32(j->data(), 4, 3), Reseal(j); },
       JournalState::kIncomplete},
      {"written before journals named their file",
       [](std::vector<uint8_t>* j) {
         j->erase(j->begin() + kJournalHeaderSizeV1, j->begin() + kJournalHeaderSize);
         StoreU32(j->data(), kJournalVersionOffset, kJournalVersion1);
         StoreU32(j->data(), kJournalLengthOffset, static_cast<uint32_t>(j->size()));
         Reseal(j);
       },
       JournalState::kComplete},
      {"another file's",
       [](std::vector<uint8_t>* j) {
         StoreU64(j->data(), kJournalFileIndexOffset,
                  LoadU64(j->data(), kJournalFileIndexOffset) + 1);
         Reseal(j);
       },
       JournalState::kComplete, true},
      {"one record too many",
       [](std::vector<uint8_t>* j) {
         StoreU32(j->data(), 12, LoadU32(j->data(), 12) + 1);
         Reseal(j);
       },
       JournalState::kIncomplete},
      {"record past the body",
       [](std::vector<uint8_t>* j) {
         StoreU32(j->data(), kJournalHeaderSize + 4, 0x7FFFFFFF);  // first record's length
         Reseal(j);
       },
       JournalState::kIncomplete},
      {"record past 2 GiB",
       [](std::vector<uint8_t>* j) {
         StoreU32(j->data(), kJournalHeaderSize, 0x7FFFFFF0);  // first record's offset
         Reseal(j);
       },
       JournalState::kIncomplete},
      {"longer than it says",
       [](std::vector<uint8_t>* j) {
         j->push_back(0);
         Reseal(j);
       },
       JournalState::kIncomplete},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> j = it.journal;
    c.damage(&j);
    // In memory (the container has no identity there).
    MemoryJournalSite site;
    ASSERT_TRUE(site.Plant(j.data(), j.size()));
    EXPECT_EQ(InspectJournalAt(&site), c.state);
    // On disk: inspected by path, reported by the reader, and recovered by the
    // next open through the library or explicitly.
    for (int way = 0; way < 2; ++way) {
      test::TempDir dir;
      const auto box = dir.path() / "TrustCustom.mnf";
      test::WriteAll(box, it.torn);
      const std::u16string path = test::U16Path(box);
      std::vector<uint8_t> on_disk = it.journal;
      MadeFor(&on_disk, path);
      c.damage(&on_disk);
      test::WriteAll(dir.path() / "TrustCustom.mnf-journal", on_disk);
      EXPECT_EQ(InspectJournal(path.c_str()), c.state);
      {
        ContainerReader r;  // holds the file open: closed before the recovery
        ASSERT_TRUE(r.Open(path.c_str()));
        EXPECT_EQ(r.journal_state(), c.state);
      }
      if (way == 0) {
        EXPECT_TRUE(RecoverContainer(path.c_str()));
      } else {
        MiniFileHandle* h = MiniFileOpen(path.c_str());
        ASSERT_NE(h, nullptr);
        MiniFileClose(h);
      }
      const auto after = test::ReadAll(box);
      if (c.other_file) {
        // Neither applied nor deleted: it is not this container's.
        EXPECT_TRUE(std::filesystem::exists(dir.path() / "TrustCustom.mnf-journal"));
        EXPECT_EQ(after, it.torn);
        continue;
      }
      EXPECT_FALSE(std::filesystem::exists(dir.path() / "TrustCustom.mnf-journal"));
      EXPECT_EQ(InspectJournal(path.c_str()), JournalState::kNone);
      if (c.state == JournalState::kComplete) {
        EXPECT_EQ(test::ReadBack(after, u"P"), it.old_p);
        EXPECT_EQ(test::ReadBack(after, u"Q"), it.q);
        ContainerReader back;
        ASSERT_TRUE(back.OpenBytes(after.data(), after.size()));
        EXPECT_TRUE(back.Verify().empty());
      } else {
        EXPECT_EQ(after, it.torn);  // an incomplete journal touches nothing
      }
    }
  }
}

TEST(Journal, UnreadableJournalBlocksTheOpen) {
  const Interrupted it = MakeInterrupted();
  test::TempDir dir;
  const auto box = dir.path() / "c.mnf";
  test::WriteAll(box, it.torn);
  const std::u16string path = test::U16Path(box);
  // Something that exists under the journal's name but cannot be read as one.
  std::filesystem::create_directory(dir.path() / "c.mnf-journal");
  EXPECT_EQ(InspectJournal(path.c_str()), JournalState::kIncomplete);
  EXPECT_FALSE(RecoverContainer(path.c_str()));
  EXPECT_EQ(MiniFileOpen(path.c_str()), nullptr);
  EXPECT_EQ(test::ReadAll(box), it.torn);

  // A journal without its container has nothing to restore: removed.
  std::filesystem::remove(dir.path() / "c.mnf-journal");
  test::WriteAll(dir.path() / "gone.mnf-journal", it.journal);
  const std::u16string gone = dir.File("gone.mnf");
  EXPECT_TRUE(RecoverContainer(gone.c_str()));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "gone.mnf-journal"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "gone.mnf"));

  // A rollback that cannot be written keeps the journal for the next attempt.
  MemoryJournalSite site;
  ASSERT_TRUE(site.Plant(it.journal.data(), it.journal.size()));
  auto file = MemoryFile::FromBytes(it.torn.data(), it.torn.size());
  for (int fault = 0; fault < 2; ++fault) {
    FaultPlan plan;
    (fault == 0 ? plan.fail_write_at : plan.fail_flush_at) = 1;
    EXPECT_FALSE(
        RecoverFromJournal(&site, test::WrapFaults(test::Borrow(file.get()), &plan).get()));
    EXPECT_TRUE(site.Exists());
  }
  EXPECT_TRUE(RecoverFromJournal(&site, file.get()));
  EXPECT_FALSE(site.Exists());
  EXPECT_EQ(test::ReadBack(test::Bytes(*file), u"P"), it.old_p);
}

// A journal whose flush failed and whose deletion failed too stays behind;
// it must not undo a later write through the same handle at the next open.
TEST(Journal, LeftoverJournalNeverUndoesALaterWrite) {
  test::ParamsScope params(kB, 16, 4);
  const Interrupted it = MakeInterrupted();
  auto file = MemoryFile::FromBytes(it.before.data(), it.before.size());
  MemoryJournalSite site;
  FaultPlan plan;
  plan.fail_flush_at = 1;   // the journal's flush
  plan.fail_write_at = 11;  // header, 4 records of 2 writes, check; then the deletion
  MiniFileHandle* h = MiniFileOpenFile(test::WrapFaults(test::Borrow(file.get()), &plan),
                                       std::make_unique<test::FaultJournalSite>(&site, &plan));
  ASSERT_NE(h, nullptr);
  const auto big = Pattern(12 * kB, 3), r = Pattern(kB, 4);
  EXPECT_EQ(MiniFileWriteStream(h, u"P", big.data(), 12 * kB), 0u);
  EXPECT_EQ(plan.writes, 11u);
  EXPECT_EQ(MiniFileWriteStream(h, u"R", r.data(), kB), kB);
  EXPECT_FALSE(site.Exists());
  MiniFileClose(h);
  h = MiniFileOpenFile(test::Borrow(file.get()), BorrowJournalSite(&site));
  ASSERT_NE(h, nullptr);
  MiniFileClose(h);
  const auto after = test::Bytes(*file);
  EXPECT_EQ(test::ReadBack(after, u"R"), r);
  EXPECT_EQ(test::ReadBack(after, u"P"), it.old_p);
  EXPECT_EQ(test::ReadBack(after, u"Q"), it.q);
}

// Without a journal site a write that would reuse blocks is refused and
// changes nothing; one that needs only free blocks goes through.
TEST(Journal, NoSiteNoReuse) {
  test::ParamsScope params(kB, 16, 4);
  const Interrupted it = MakeInterrupted();
  auto file = MemoryFile::FromBytes(it.before.data(), it.before.size());
  MiniFileHandle* h = MiniFileOpenFile(test::Borrow(file.get()));
  ASSERT_NE(h, nullptr);
  const auto big = Pattern(10 * kB, 4), small = Pattern(9 * kB, 5);
  EXPECT_EQ(MiniFileWriteStream(h, u"P", big.data(), 10 * kB), 0u);
  EXPECT_EQ(test::Bytes(*file), it.before);
  EXPECT_EQ(MiniFileWriteStream(h, u"P", small.data(), 9 * kB), 9 * kB);
  MiniFileClose(h);
  EXPECT_EQ(test::ReadBack(test::Bytes(*file), u"P"), small);
}

}  // namespace
}  // namespace tl
