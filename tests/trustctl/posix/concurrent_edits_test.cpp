// Several writers of one container at once, as trustctl processes of their
// own: every change that reported success is there afterwards and the
// container is sound; a writer never touches the journal of one still at
// work; and a journal belongs to the file, whatever path reached it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "child_process.h"
#include "common/u16.h"
#include "ctl_test_util.h"
#include "entry/list_store.h"
#include "minifile/container_reader.h"
#include "minifile/journal.h"
#include "minifile/minifile.h"
#include "platform/fault_hook.h"
#include "view/payload_view.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;

// The fingerprints stored in a stream.
std::set<uint64_t> Fingerprints(const std::string& box, const std::u16string& stream) {
  const std::vector<uint8_t> payload = StreamPayload(box, stream);
  const ctl::PayloadView view = ctl::ParsePayload(payload.data(), payload.size());
  std::set<uint64_t> out;
  for (const auto& b : view.blocks) out.insert(b.decoded.fingerprint);
  return out;
}

bool Sound(const std::string& box) {
  ContainerReader r;
  return r.Open(Utf8ToU16(box).c_str()) && r.header_valid() && r.Verify().empty();
}

std::string HashLines(uint32_t first, uint32_t count) {
  std::string text;
  char line[32];
  for (uint32_t i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line, "%x %x\n", 0x100000 + first + i, first + i);
    text += line;
  }
  return text;
}

uint64_t Fp(uint32_t size, uint32_t crc) { return (uint64_t{size} << 32) | crc; }

TEST(CtlWriters, ConcurrentEditsLoseNothing) {
  struct Case {
    const char* what;
    int adders;        // `add --hash` processes, one entry each, on ProgramList
    bool with_import;  // and one import of 50,000 lines into BlockList
    bool with_remove;  // and one remove of an entry present before
  };
  const Case cases[] = {
      {"eight adds", 8, false, false},
      {"an import beside three adds", 3, true, false},
      {"adds and a remove", 5, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int round = 0; round < 3; ++round) {
      TempDir dir;
      const std::string box = Arg(dir, "c.mnf");
      ASSERT_EQ(Ctl({"add", box, "--hash", "ffff", "1"}).rc, 0);
      // An entry no writer touches: the remove may run before any add has
      // landed, and must not then be the edit that would empty the list.
      ASSERT_EQ(Ctl({"add", box, "--hash", "eeee", "2"}).rc, 0);
      const std::string big = WriteText(dir, "big.txt", HashLines(0, 50000));
      std::vector<std::pair<pid_t, int>> runs;  // pid, adder index (-1: other)
      for (int i = 0; i < c.adders; ++i) {
        char size[16];
        std::snprintf(size, sizeof size, "%x", 0x10 + i);
        runs.push_back({StartTrustctl({"add", box, "--hash", size, "abc"}), i});
      }
      if (c.with_import)
        runs.push_back({StartTrustctl({"import", "--new-stream", box + ":BlockList", big}), -1});
      ChildSetup said;
      said.err = Arg(dir, "remove.err");
      if (c.with_remove)
        runs.push_back({StartTrustctl({"remove", box, "--hash", "ffff", "1"}, said), -1});
      for (auto& [pid, index] : runs) {
        ASSERT_EQ(WaitExit(pid), 0) << "writer " << index << ": " << [&] {
          const auto b = FileBytes(said.err);
          return std::string(b.begin(), b.end());
        }();
      }
      ASSERT_TRUE(Sound(box));
      const std::set<uint64_t> programs = Fingerprints(box, u"ProgramList");
      for (int i = 0; i < c.adders; ++i) {
        EXPECT_TRUE(programs.count(Fp(0x10 + static_cast<uint32_t>(i), 0xabc))) << "adder " << i;
      }
      EXPECT_EQ(programs.count(Fp(0xffff, 1)), c.with_remove ? 0u : 1u);
      EXPECT_EQ(programs.count(Fp(0xeeee, 2)), 1u);
      EXPECT_EQ(programs.size(), static_cast<size_t>(c.adders) + (c.with_remove ? 1 : 2));
      if (c.with_import) {
        EXPECT_EQ(Fingerprints(box, u"BlockList").size(), 50000u);
      }
    }
  }
}

// A journal stamped for `box` that restores its table and directory as they
// are now: complete and harmless, so only its presence tells who touched it.
std::vector<uint8_t> LiveJournal(const std::string& box) {
  // Read as bytes: a reader's open would wait for the writer that holds it.
  const std::vector<uint8_t> bytes = FileBytes(box);
  ContainerReader r;
  EXPECT_TRUE(r.OpenBytes(bytes.data(), bytes.size()) && r.header_valid());
  const Geometry& g = r.geometry();
  const uint32_t meta = g.table_bytes() + g.dir_bytes();
  std::vector<uint8_t> saved(meta, 0);
  std::copy(bytes.begin() + g.table_offset,
            bytes.begin() + std::min<size_t>(bytes.size(), g.table_offset + meta), saved.begin());
  const std::string jpath = box + "-journal";
  auto jf = platform::CreateEmptyFile(Utf8ToU16(jpath).c_str());
  JournalWriter w(jf.get());
  EXPECT_TRUE(w.Begin(static_cast<uint32_t>(bytes.size()), 1, saved.size(), bytes.data(),
                      g.table_offset, saved.data(), meta));
  EXPECT_TRUE(w.Record(g.table_offset, saved.data(), meta));
  EXPECT_TRUE(w.Finish());
  jf.reset();
  return FileBytes(jpath);
}

TEST(CtlWriters, ASecondWriterWaitsForALiveJournalsWriter) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"add", box, "--hash", "1", "1"}).rc, 0);
  const std::string list = WriteText(dir, "l.txt", HashLines(0, 10));

  // This process is a writer in the middle of a write that reuses blocks: it
  // holds the container and its journal is on disk.
  ListStore held;
  ASSERT_EQ(held.Open(Utf8ToU16(box).c_str(), kCommitCreationParameters), StoreStatus::kOk);
  const std::vector<uint8_t> journal = LiveJournal(box);
  const std::vector<uint8_t> container = FileBytes(box);
  const pid_t other = StartTrustctl({"import", "--new-stream", box + ":BlockList", list});
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  // The other writer waits: the journal is untouched, so is the container.
  EXPECT_EQ(waitpid(other, nullptr, WNOHANG), 0);
  EXPECT_EQ(FileBytes(box + "-journal"), journal);
  EXPECT_EQ(FileBytes(box), container);
  // The write ends as a write ends: the journal's deletion is its commit point.
  fs::remove(box + "-journal");
  held.Close();
  EXPECT_EQ(WaitExit(other), 0);
  EXPECT_TRUE(Sound(box));
  EXPECT_EQ(Fingerprints(box, u"BlockList").size(), 10u);
  EXPECT_EQ(Fingerprints(box, u"ProgramList"), std::set<uint64_t>{Fp(1, 1)});

  // One that gives up changes nothing and says why, exit 2.
  const std::string wanted = WriteText(dir, "e.jsonl", Ctl({"export", box}).out);
  ASSERT_EQ(held.Open(Utf8ToU16(box).c_str(), kCommitCreationParameters), StoreStatus::kOk);
  const std::vector<uint8_t> now = FileBytes(box);
  const CtlResult r = Ctl({"add", box, "--hash", "2", "2"});
  EXPECT_EQ(r.rc, 2);
  EXPECT_NE(r.err.find("in use by another writer"), std::string::npos) << r.err;
  // A configuration engine is told it was busy, worth another try.
  const CtlResult apply = Ctl({"apply", "--json", box, wanted});
  EXPECT_EQ(apply.rc, 2);
  EXPECT_NE(apply.out.find("\"busy\""), std::string::npos) << apply.out;
  EXPECT_EQ(FileBytes(box), now);
}

// A write through a link that is cut off after its journal is complete leaves
// the journal under the real file's name; an open of the real file rolls it
// back. A journal under the link's name is no journal of the file.
// A reader never reads a container in the middle of a write: while a writer
// holds it, the reader waits (and does not fail), then reads what the writer
// left.
TEST(CtlWriters, AReaderWaitsForTheWriterInsteadOfFailing) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"add", box, "--hash", "1", "1"}).rc, 0);
  ListStore held;
  ASSERT_EQ(held.Open(Utf8ToU16(box).c_str(), kCommitCreationParameters), StoreStatus::kOk);
  const pid_t reader = StartTrustctl({"verify", box});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(waitpid(reader, nullptr, WNOHANG), 0);  // still waiting
  held.Close();
  EXPECT_EQ(WaitExit(reader), 0);
}

TEST(CtlWriters, TheJournalBelongsToTheFileNotThePath) {
  TempDir dir;
  const std::string real = Arg(dir, "real.mnf");
  const std::string link = Arg(dir, "link.mnf");
  fs::create_symlink(dir.path() / "real.mnf", dir.path() / "link.mnf");
  constexpr CreationParameters kSmall{20, 512, 16, 4, 0};
  const auto old_p = std::vector<uint8_t>(10 * 512, 0x11);
  const auto new_p = std::vector<uint8_t>(10 * 512, 0x22);
  {
    ListStore s;
    ASSERT_EQ(s.Open(Utf8ToU16(link).c_str(), kSmall), StoreStatus::kOk);
    ASSERT_EQ(s.Write(u"P", old_p.data(), 10 * 512), StoreStatus::kOk);
  }
  const std::vector<uint8_t> before = FileBytes(real);
  // Every write from the n-th on fails: the first n at which a journal stays
  // is a write cut off with its journal complete and no rollback possible.
  bool journal_left = false;
  for (uint64_t n = 1; n < 200 && !journal_left; ++n) {
    WriteAll(dir.path() / "real.mnf", before);
    ListStore s;
    ASSERT_EQ(s.Open(Utf8ToU16(link).c_str(), kSmall), StoreStatus::kOk);
    {
      platform::IoFaultPlan plan{platform::IoOp::kWrite, n, /*persistent=*/true};
      platform::IoFaultScope scope(&plan);
      EXPECT_NE(s.Write(u"P", new_p.data(), 10 * 512), StoreStatus::kOk);
    }
    s.Close();
    journal_left = fs::exists(dir.path() / "real.mnf-journal");
    EXPECT_FALSE(fs::exists(dir.path() / "link.mnf-journal"));
  }
  ASSERT_TRUE(journal_left);
  EXPECT_EQ(InspectJournal(Utf8ToU16(link).c_str()), JournalState::kComplete);
  // A journal beside the link's name is not the file's: it is neither applied
  // nor removed by an open of the file.
  fs::copy_file(dir.path() / "real.mnf-journal", dir.path() / "link.mnf-journal");
  {
    ListStore s;
    ASSERT_EQ(s.Open(Utf8ToU16(real).c_str(), kSmall), StoreStatus::kOk);
    EXPECT_EQ(s.recovered(), JournalState::kComplete);
  }
  EXPECT_FALSE(fs::exists(dir.path() / "real.mnf-journal"));
  EXPECT_TRUE(fs::exists(dir.path() / "link.mnf-journal"));
  ContainerReader r;
  ASSERT_TRUE(r.Open(Utf8ToU16(real).c_str()));
  std::vector<uint8_t> p;
  ASSERT_EQ(r.ReadStream(static_cast<uint32_t>(r.FindStream(u"P")), &p), Defect::kNone);
  EXPECT_EQ(p, old_p);
  EXPECT_TRUE(r.Verify().empty());
}

}  // namespace
}  // namespace tl::test
