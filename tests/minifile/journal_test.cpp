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

// Where the records of a version 3 journal begin.
uint32_t RecordsAt(const std::vector<uint8_t>& j) {
  return kJournalImagesOffset + kJournalHeaderImageSize +
         LoadU32(j.data(), kJournalMetaLengthOffset);
}

// The same journal as a version 2 writer made it for the file `id`: no
// images, the file's identity in their place.
void ToVersion2(std::vector<uint8_t>* j, const platform::FileIdentity& id) {
  j->erase(j->begin() + kJournalImagesOffset, j->begin() + RecordsAt(*j));
  StoreU32(j->data(), kJournalVersionOffset, kJournalVersion2);
  StoreU64(j->data(), kJournalVolumeOffset, id.volume);
  StoreU64(j->data(), kJournalFileIndexOffset, id.index);
  StoreU32(j->data(), kJournalLengthOffset, static_cast<uint32_t>(j->size()));
  Reseal(j);
}

TEST(Journal, CompleteOnlyWhenWholeAndChecked) {
  const Interrupted it = MakeInterrupted();
  ASSERT_NE(it.torn, it.before);
  ASSERT_GT(it.journal.size(), 2 * kB);
  using Damage = void (*)(std::vector<uint8_t>*, const platform::FileIdentity&);
  struct Case {
    const char* what;
    Damage damage;
    JournalState state;  // beside the container it was made for (by content or file)
    // In memory the container has no identity: a version 2 journal made for
    // another file cannot be told from one of this file there.
    bool identity_only = false;
  };
  using Id = const platform::FileIdentity&;
  const Case cases[] = {
      {"as written", [](std::vector<uint8_t>*, Id) {}, JournalState::kComplete},
      {"last byte missing", [](std::vector<uint8_t>* j, Id) { j->pop_back(); },
       JournalState::kIncomplete},
      {"only the header", [](std::vector<uint8_t>* j, Id) { j->resize(kJournalHeaderSize); },
       JournalState::kIncomplete},
      {"empty", [](std::vector<uint8_t>* j, Id) { j->clear(); }, JournalState::kIncomplete},
      {"a saved byte flipped", [](std::vector<uint8_t>* j, Id) { (*j)[RecordsAt(*j) + 9] ^= 1; },
       JournalState::kIncomplete},
      {"magic", [](std::vector<uint8_t>* j, Id) { (*j)[0] ^= 1, Reseal(j); },
       JournalState::kIncomplete},
      {"version", [](std::vector<uint8_t>* j, Id) { StoreU32(j->data(), 4, 4), Reseal(j); },
       JournalState::kIncomplete},
      {"first record is not the before image",
       [](std::vector<uint8_t>* j, Id) {
         StoreU32(j->data(), RecordsAt(*j), LoadU32(j->data(), RecordsAt(*j)) + 1);
         Reseal(j);
       },
       JournalState::kIncomplete},
      {"after image longer than the journal",
       [](std::vector<uint8_t>* j, Id) {
         StoreU32(j->data(), kJournalMetaLengthOffset, 0x7FFFFFFF);
         Reseal(j);
       },
       JournalState::kIncomplete},
      {"header image of another container",
       [](std::vector<uint8_t>* j, Id) {
         (*j)[kJournalImagesOffset + 20] ^= 1;  // a byte of the key
         Reseal(j);
       },
       JournalState::kForeign},
      {"a table byte neither before nor after",
       [](std::vector<uint8_t>* j, Id) {
         // Entry 2 of the table in both images: the container holds neither.
         const uint32_t after = kJournalImagesOffset + kJournalHeaderImageSize + 4;
         const uint32_t before = RecordsAt(*j) + kJournalRecordHeaderSize + 4;
         (*j)[after] ^= 0x40;
         (*j)[before] ^= 0x40;
         Reseal(j);
       },
       JournalState::kForeign},
      {"written before journals named their file",
       [](std::vector<uint8_t>* j, Id) {
         ToVersion2(j, {});
         j->erase(j->begin() + kJournalHeaderSizeV1, j->begin() + kJournalHeaderSize);
         StoreU32(j->data(), kJournalVersionOffset, kJournalVersion1);
         StoreU32(j->data(), kJournalLengthOffset, static_cast<uint32_t>(j->size()));
         Reseal(j);
       },
       JournalState::kComplete},
      {"version 2 of this file", [](std::vector<uint8_t>* j, Id id) { ToVersion2(j, id); },
       JournalState::kComplete},
      {"version 2 of another file",
       [](std::vector<uint8_t>* j, Id id) {
         ToVersion2(j, {id.volume, id.index + 1});
       },
       JournalState::kForeign, true},
      {"one record too many",
       [](std::vector<uint8_t>* j, Id) {
         StoreU32(j->data(), 12, LoadU32(j->data(), 12) + 1);
         Reseal(j);
       },
       JournalState::kIncomplete},
      {"record past the body",
       [](std::vector<uint8_t>* j, Id) {
         const uint32_t second =
             RecordsAt(*j) + kJournalRecordHeaderSize + LoadU32(j->data(), RecordsAt(*j) + 4);
         StoreU32(j->data(), second + 4, 0x7FFFFFFF);
         Reseal(j);
       },
       JournalState::kIncomplete},
      {"record past 2 GiB",
       [](std::vector<uint8_t>* j, Id) {
         const uint32_t second =
             RecordsAt(*j) + kJournalRecordHeaderSize + LoadU32(j->data(), RecordsAt(*j) + 4);
         StoreU32(j->data(), second, 0x7FFFFFF0);
         Reseal(j);
       },
       JournalState::kIncomplete},
      {"longer than it says",
       [](std::vector<uint8_t>* j, Id) {
         j->push_back(0);
         Reseal(j);
       },
       JournalState::kIncomplete},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      // In memory: without the container only completeness can be told; with
      // it, whether the journal is its own.
      std::vector<uint8_t> j = it.journal;
      c.damage(&j, {});
      MemoryJournalSite site;
      ASSERT_TRUE(site.Plant(j.data(), j.size()));
      EXPECT_EQ(InspectJournalAt(&site),
                c.state == JournalState::kForeign ? JournalState::kComplete : c.state);
      auto torn = MemoryFile::FromBytes(it.torn.data(), it.torn.size());
      EXPECT_EQ(InspectJournalAt(&site, torn.get()),
                c.identity_only ? JournalState::kComplete : c.state);
    }
    // On disk: inspected by path, and met by the next open through the
    // library, explicitly, or by a reader.
    for (int way = 0; way < 3; ++way) {
      SCOPED_TRACE(way);
      test::TempDir dir;
      const auto box = dir.path() / "TrustCustom.mnf";
      const auto journal = dir.path() / "TrustCustom.mnf-journal";
      test::WriteAll(box, it.torn);
      const std::u16string path = test::U16Path(box);
      platform::FileIdentity id;
      {
        auto f = platform::OpenFileForReading(path.c_str());
        ASSERT_TRUE(f && f->Identity(&id));
      }
      std::vector<uint8_t> on_disk = it.journal;
      c.damage(&on_disk, id);
      test::WriteAll(journal, on_disk);
      EXPECT_EQ(InspectJournal(path.c_str()), c.state);
      ContainerReader r;
      if (way == 0) {
        EXPECT_TRUE(RecoverContainer(path.c_str()));
      } else if (way == 1) {
        MiniFileHandle* h = MiniFileOpen(path.c_str());
        ASSERT_NE(h, nullptr);
        MiniFileClose(h);
      } else {
        ASSERT_TRUE(r.Open(path.c_str()));
        EXPECT_EQ(r.rolled_back(), c.state == JournalState::kComplete);
        EXPECT_EQ(r.discarded_journal(), c.state == JournalState::kIncomplete);
        EXPECT_EQ(r.journal_state(),
                  c.state == JournalState::kForeign ? c.state : JournalState::kNone);
      }
      const auto after = test::ReadAll(box);
      if (c.state == JournalState::kForeign) {
        // Neither applied nor deleted: it is not this container's.
        EXPECT_EQ(test::ReadAll(journal), on_disk);
        EXPECT_EQ(after, it.torn);
        continue;
      }
      if (c.state == JournalState::kComplete) {
        EXPECT_FALSE(std::filesystem::exists(journal));
        EXPECT_EQ(InspectJournal(path.c_str()), JournalState::kNone);
        EXPECT_EQ(test::ReadBack(after, u"P"), it.old_p);
        EXPECT_EQ(test::ReadBack(after, u"Q"), it.q);
        ContainerReader back;
        ASSERT_TRUE(back.OpenBytes(after.data(), after.size()));
        EXPECT_TRUE(back.Verify().empty());
        if (way == 2) {  // it read what it left
          const auto* seen = dynamic_cast<const MemoryFile*>(r.file());
          ASSERT_NE(seen, nullptr);
          EXPECT_EQ(test::Bytes(*seen), after);
        }
      } else {
        EXPECT_EQ(after, it.torn);                       // an incomplete journal touches nothing
        EXPECT_FALSE(std::filesystem::exists(journal));  // and is discarded
      }
    }
  }
}

// A container and its journal copied together (a restored backup, a copy for
// support) recover wherever they lie; a journal beside another container (a
// different one renamed into place) is neither applied nor deleted.
TEST(Journal, BelongsToItsContainerWhereverItLies) {
  const Interrupted it = MakeInterrupted();
  test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "a");
  std::filesystem::create_directories(dir.path() / "b");
  test::WriteAll(dir.path() / "a" / "c.mnf", it.torn);
  test::WriteAll(dir.path() / "a" / "c.mnf-journal", it.journal);
  for (const char* name : {"c.mnf", "c.mnf-journal"}) {
    std::filesystem::copy_file(dir.path() / "a" / name, dir.path() / "b" / name);
  }
  const std::u16string copy = test::U16Path(dir.path() / "b" / "c.mnf");
  EXPECT_EQ(InspectJournal(copy.c_str()), JournalState::kComplete);
  MiniFileHandle* h = MiniFileOpen(copy.c_str());
  ASSERT_NE(h, nullptr);
  MiniFileClose(h);
  const auto recovered = test::ReadAll(dir.path() / "b" / "c.mnf");
  EXPECT_EQ(test::ReadBack(recovered, u"P"), it.old_p);
  EXPECT_EQ(test::ReadBack(recovered, u"Q"), it.q);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "b" / "c.mnf-journal"));
  EXPECT_EQ(test::ReadAll(dir.path() / "a" / "c.mnf"), it.torn);  // the original untouched

  // Another container under the same name: before the write (the older
  // container itself would match; a fresh one does not), and one rewritten since.
  MemoryFile other;
  {
    test::ParamsScope params(kB, 16, 4);
    EXPECT_EQ(test::WriteStream(&other, u"Q", it.q), kB + 9);
  }
  const std::vector<uint8_t> others[] = {test::Bytes(other), it.before};
  for (size_t k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    const auto box = dir.path() / ("o" + std::to_string(k) + ".mnf");
    test::WriteAll(box, others[k]);
    test::WriteAll(dir.path() / ("o" + std::to_string(k) + ".mnf-journal"), it.journal);
    const std::u16string path = test::U16Path(box);
    h = MiniFileOpen(path.c_str());
    ASSERT_NE(h, nullptr);
    MiniFileClose(h);
    EXPECT_EQ(test::ReadAll(box), others[k]);
    // The older container itself is in the state the rollback restores: it
    // is the journal's, and applying it changes nothing.
    EXPECT_EQ(std::filesystem::exists(dir.path() / ("o" + std::to_string(k) + ".mnf-journal")),
              k == 0);
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
  plan.fail_write_at = 13;  // header, 2 images, 4 records of 2 writes, check; the deletion
  MiniFileHandle* h = MiniFileOpenFile(test::WrapFaults(test::Borrow(file.get()), &plan),
                                       std::make_unique<test::FaultJournalSite>(&site, &plan));
  ASSERT_NE(h, nullptr);
  const auto big = Pattern(12 * kB, 3), r = Pattern(kB, 4);
  EXPECT_EQ(MiniFileWriteStream(h, u"P", big.data(), 12 * kB), 0u);
  EXPECT_EQ(plan.writes, 13u);
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
