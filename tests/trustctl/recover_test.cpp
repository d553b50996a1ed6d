// trustctl recover against a table of damages: what the new container holds
// (compared with exports taken before the damage), the exit code, the report,
// and that the damaged container, and any journal beside it, are byte for
// byte as they were. Then what recover refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

#include "common/le.h"
#include "common/u16.h"
#include "ctl_test_util.h"
#include "entry/list_payload.h"
#include "entry/list_store.h"
#include "minifile/container_reader.h"
#include "platform/fault_hook.h"
#include "trustctl.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;
using ctl::kExitFailure;
using ctl::kExitFindings;
using ctl::kExitOk;
using ctl::kExitUsage;

constexpr int kPrograms = 40;     // ProgramList entries: "i 7", i = 1..40
constexpr uint32_t kEntry = 200;  // bytes of each
constexpr uint32_t kSmallBlock = 1024;

constexpr uint32_t EntryOffset(int line) { return kPayloadHeaderBytes + (line - 1) * kEntry; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// A container with a ProgramList of kPrograms entries and a BlockList of 3,
// made as a commit makes one, or with 1 KiB blocks (a chain of 8 blocks).
struct Box {
  std::string path;
  std::string programs;  // export of each stream before the damage
  std::string blocks;
};

Box MakeBox(const TempDir& dir, bool small) {
  Box box{Arg(dir, "damaged.mnf"), "", ""};
  if (small) {
    ListStore store;
    EXPECT_EQ(
        store.Open(Utf8ToU16(box.path).c_str(), CreationParameters{20, kSmallBlock, 16, 4, 0}),
        StoreStatus::kOk);
  }
  std::string lines;
  for (int i = 1; i <= kPrograms; ++i) lines += std::to_string(i) + " 7\n";
  EXPECT_EQ(Ctl({"import", "--new-stream", box.path, WriteText(dir, "p", lines)}).rc, kExitOk);
  EXPECT_EQ(Ctl({"import", "--new-stream", box.path + ":BlockList",
                 WriteText(dir, "b", "900 7\n901 7\n902 7\n")})
                .rc,
            kExitOk);
  box.programs = Ctl({"export", box.path}).out;
  box.blocks = Ctl({"export", box.path + ":BlockList"}).out;
  return box;
}

// Damages, each a change of the file's bytes.
using Bytes = std::vector<uint8_t>;
using Surgery = std::function<void(const ContainerReader& before, Bytes& bytes)>;

void Operate(const std::string& box, const Surgery& surgery) {
  ContainerReader r;
  const std::u16string path = Utf8ToU16(box);
  ASSERT_TRUE(r.Open(path.c_str()));
  Bytes bytes = FileBytes(box);
  surgery(r, bytes);
  WriteAll(fs::path(path), bytes);
}

// The file offset of ProgramList's payload byte `offset` (in its first block).
uint64_t InPrograms(const ContainerReader& r, uint32_t offset) {
  return r.geometry().BlockOffset(r.entries()[r.FindStream(u"ProgramList")].first_block) + offset;
}

Surgery Nothing() {
  return [](const ContainerReader&, Bytes&) {};
}
Surgery Flip(std::vector<uint64_t> offsets, uint8_t mask) {
  return [=](const ContainerReader&, Bytes& b) {
    for (uint64_t at : offsets) b[at] ^= mask;
  };
}
Surgery Zero(uint64_t from, uint64_t to) {
  return [=](const ContainerReader&, Bytes& b) { std::fill(b.begin() + from, b.begin() + to, 0); };
}
Surgery CutFile(uint64_t size) {
  return [=](const ContainerReader&, Bytes& b) { b.resize(size); };
}
Surgery FlipInPrograms(uint32_t offset, uint8_t mask) {
  return [=](const ContainerReader& r, Bytes& b) { b[InPrograms(r, offset)] ^= mask; };
}
Surgery CutFileInPrograms(uint32_t offset) {
  return [=](const ContainerReader& r, Bytes& b) { b.resize(InPrograms(r, offset)); };
}
Surgery CutChainAfter(int blocks) {
  return [=](const ContainerReader& r, Bytes& b) {
    uint32_t at = r.entries()[r.FindStream(u"ProgramList")].first_block;
    for (int k = 1; k < blocks; ++k) at = r.Link(at);
    StoreU16(b.data(), kTableOffset + 2 * at, kLinkEnd);
  };
}
// Writes `name` (17 units, zero-filled) over directory entry 1's name.
Surgery NameSecondStream(const std::u16string& name) {
  return [=](const ContainerReader& r, Bytes& b) {
    for (size_t k = 0; k < 17; ++k) {
      StoreU16(b.data(), r.geometry().dir_offset + 64 + 2 * k, k < name.size() ? name[k] : 0);
    }
  };
}

// ProgramList stored with entry `line` twice in a row, through the store.
void StoreTwice(const std::string& box, int line) {
  Bytes p = StreamPayload(box, u"ProgramList");
  Bytes twice(p.begin(), p.begin() + EntryOffset(line + 1));
  twice.insert(twice.end(), p.begin() + EntryOffset(line), p.end());
  StoreU16(twice.data(), kPayloadCountOffset, kPrograms + 1);
  StoreU32(twice.data(), kPayloadBlocksSizeOffset,
           static_cast<uint32_t>(twice.size() - kPayloadHeaderBytes));
  ListStore store;
  ASSERT_EQ(store.Open(Utf8ToU16(box).c_str(), kCommitCreationParameters), StoreStatus::kOk);
  ASSERT_EQ(store.Write(u"ProgramList", twice.data(), static_cast<uint32_t>(twice.size())),
            StoreStatus::kOk);
}

// What the new container's ProgramList holds, from the lines exported before.
enum class Holds : uint8_t {
  kAll,
  kAllButEntry5,
  kFirst10,
  kFirst15,        // a chain of 1 KiB blocks cut after three: (3072 - 16) / 200 entries
  kEntry5Changed,  // the others as they were, entry 5 with its stored bytes
  kNothing,        // no new container
};

struct Damage {
  const char* what;
  bool small;  // 1 KiB blocks
  Surgery surgery;
  int rc;
  Holds programs;
  bool blocks_kept;    // BlockList recovered as it was (else absent)
  const char* report;  // texts the report (output and errors) holds, separated by "|"
};

const Damage kDamages[] = {
    {"intact", false, Nothing(), kExitOk, Holds::kAll, true,
     "stream \"ProgramList\": kept 40 entries|stream \"BlockList\": kept 3 entries|43 entries "
     "in 2 streams recovered|nothing was dropped"},
    {"a flipped bit in the header's check value", false, Flip({kHeaderCrcOffset + 1}, 0x04),
     kExitOk, Holds::kAll, true,
     "header: header-crc|one flipped bit put back (byte 113, bit 2)|nothing was dropped"},
    {"a flipped bit in the key", false, Flip({kHeaderKeyOffset + 1}, 0x01), kExitOk, Holds::kAll,
     true, "one flipped bit put back (byte 33, bit 0)"},
    {"the header's counts wiped", false,
     Zero(kHeaderTableEntriesOffset, kHeaderDirEntriesOffset + 4), kExitOk, Holds::kAll, true,
     "header: header-crc|read with the counts a commit makes a container with (32 table "
     "entries, 1048576-byte blocks, 4 directory entries)"},
    {"a chain cut after three blocks", true, CutChainAfter(3), kExitFindings, Holds::kFirst15, true,
     "kept 15 entries|could not be read: chain-short|1 unread stream end"},
    {"a flipped bit in entry 5's size", false, FlipInPrograms(EntryOffset(5) + 1, 0x01),
     kExitFindings, Holds::kAllButEntry5, true,
     "kept 39 entries|dropped 200 damaged bytes at payload offset 816|dropped: 1 damaged range"},
    {"a flipped bit in entry 5's magic", false, FlipInPrograms(EntryOffset(5) + 9, 0x20),
     kExitFindings, Holds::kAllButEntry5, true,
     "dropped 200 damaged bytes at payload offset 816: a block lacks its magic"},
    {"a flipped bit in entry 5's name", false, FlipInPrograms(EntryOffset(5) + 154, 0x01), kExitOk,
     Holds::kEntry5Changed, true,
     "kept 40 entries|entry 5 kept as stored: key|is not the name key|nothing was dropped"},
    {"the file cut inside entry 11", false, CutFileInPrograms(EntryOffset(11) + 50), kExitFindings,
     Holds::kFirst10, false,
     "stream \"ProgramList\": kept 10 entries|dropped 50 damaged bytes at payload offset 2016: "
     "the bytes read end 50 bytes into this 200-byte block|could not be read: block-past-end|"
     "stream \"BlockList\": not recovered: nothing of it could be read: block-past-end"},
    {"entry 2 stored twice", false, nullptr, kExitFindings, Holds::kAll, true,
     "dropped entry \"0000000200000007.*\" at payload offset 416: the same key|as entry 2, "
     "which is kept|1 duplicate entry"},
    {"a flipped bit in the payload's block count", false, FlipInPrograms(kPayloadCountOffset, 0x02),
     kExitOk, Holds::kAll, true,
     "payload header written anew: block count does not match the blocks|nothing was dropped"},
    {"two streams of one name", false, NameSecondStream(u"ProgramList"), kExitFindings, Holds::kAll,
     false,
     "stream \"ProgramList\": kept 40 entries|stream \"ProgramList\": not recovered: a stream "
     "of the same name (directory entry 0) was recovered before it|dropped: 1 stream"},
    {"a stream name without its terminating zero", false, NameSecondStream(u"BBBBBBBBBBBBBBBBB"),
     kExitFindings, Holds::kAll, false,
     "not recovered: its name cannot be stored: a stream name has 1 to 16 characters"},
    {"two flipped bits in the key", false, Flip({kHeaderKeyOffset, kHeaderKeyOffset + 2}, 0x01),
     kExitFailure, Holds::kNothing, false,
     "stream \"ProgramList\": not recovered: no entry of it could be read|nothing can be "
     "recovered; nothing was written"},
    {"a file shorter than a header", false, CutFile(100), kExitFailure, Holds::kNothing, false,
     "nothing can be recovered: header-short"},
};

std::vector<std::string> Expected(Holds holds, std::vector<std::string> lines) {
  if (holds == Holds::kAllButEntry5) lines.erase(lines.begin() + 4);
  if (holds == Holds::kFirst10) lines.resize(10);
  if (holds == Holds::kFirst15) lines.resize((3 * kSmallBlock - kPayloadHeaderBytes) / kEntry);
  return lines;
}

TEST(CtlRecover, EachDamageKeepsWhatIsSoundAndLeavesTheContainerAsItWas) {
  for (const Damage& d : kDamages) {
    SCOPED_TRACE(d.what);
    TempDir dir;
    const Box box = MakeBox(dir, d.small);
    if (d.surgery) {
      Operate(box.path, d.surgery);
    } else {
      StoreTwice(box.path, 2);
    }
    const Bytes damaged = FileBytes(box.path);
    const std::string fresh = Arg(dir, "new.mnf");
    const CtlResult r = Ctl({"recover", box.path, "-o", fresh});
    EXPECT_EQ(r.rc, d.rc) << r.out << r.err;
    std::istringstream report(d.report);
    for (std::string part; std::getline(report, part, '|');) {
      EXPECT_NE((r.out + r.err).find(part), std::string::npos) << part << "\n" << r.out << r.err;
    }
    EXPECT_EQ(FileBytes(box.path), damaged);
    EXPECT_FALSE(fs::exists(Utf8ToU16(box.path + "-journal")));
    if (d.programs == Holds::kNothing) {
      EXPECT_FALSE(fs::exists(Utf8ToU16(fresh)));
      continue;
    }
    const std::vector<std::string> before = Lines(box.programs);
    const std::vector<std::string> after = Lines(Ctl({"export", fresh}).out);
    if (d.programs == Holds::kEntry5Changed) {
      ASSERT_EQ(after.size(), before.size());
      for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i] == before[i], i != 4);
      EXPECT_NE(after[4].find("\"bytes\""), std::string::npos);
    } else {
      EXPECT_EQ(after, Expected(d.programs, before));
    }
    const CtlResult blocks = Ctl({"export", fresh + ":BlockList"});
    EXPECT_EQ(blocks.rc, d.blocks_kept ? kExitOk : kExitFailure);
    EXPECT_EQ(blocks.out, d.blocks_kept ? box.blocks : "");
    // Verify names only the kept entry 5's odd key; an edit goes through.
    EXPECT_EQ(Ctl({"verify", fresh}).rc,
              d.programs == Holds::kEntry5Changed ? kExitFindings : kExitOk);
    EXPECT_EQ(Ctl({"add", "--no-notify", fresh, "--hash", "77", "77"}).rc, kExitOk);
  }
}

// A new container is made as a commit makes one: four streams at most. A
// fifth is said not to fit, and the four are kept.
TEST(CtlRecover, AStreamTheNewContainerCannotHoldIsSaid) {
  TempDir dir;
  const std::string box = Arg(dir, "damaged.mnf");
  {
    ListStore store;
    ASSERT_EQ(store.Open(Utf8ToU16(box).c_str(), CreationParameters{20, kSmallBlock, 16, 8, 0}),
              StoreStatus::kOk);
  }
  for (int s = 1; s <= 5; ++s) {
    const std::string list = WriteText(dir, "l" + std::to_string(s), std::to_string(s) + " 1\n");
    ASSERT_EQ(Ctl({"import", "--new-stream", box + ":S" + std::to_string(s), list}).rc, kExitOk);
  }
  const std::string fresh = Arg(dir, "new.mnf");
  const CtlResult r = Ctl({"recover", box, "-o", fresh});
  EXPECT_EQ(r.rc, kExitFindings) << r.out << r.err;
  EXPECT_NE(r.out.find("stream \"S5\": not recovered: it does not fit in the new container: too "
                       "little free space or no free directory slot"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("4 entries in 4 streams recovered"), std::string::npos) << r.out;
  for (int s = 1; s <= 4; ++s) {
    const std::string stream = ":S" + std::to_string(s);
    EXPECT_EQ(Ctl({"export", fresh + stream}).out, Ctl({"export", box + stream}).out);
  }
}

// A write or flush of the new container that fails, once or from then on,
// at any point: the command fails and leaves no new container behind.
TEST(CtlRecover, AFailedWriteLeavesNoNewContainer) {
  TempDir dir;
  const Box box = MakeBox(dir, false);
  const std::string fresh = Arg(dir, "new.mnf");
  for (const platform::IoOp op : {platform::IoOp::kWrite, platform::IoOp::kFlush}) {
    for (const bool persistent : {false, true}) {
      for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE("call " + std::to_string(n) + (persistent ? " on" : " once"));
        platform::IoFaultPlan plan{op, n, persistent};
        CtlResult r;
        {
          platform::IoFaultScope scope(&plan);
          r = Ctl({"recover", box.path, "-o", fresh});
        }
        if (plan.failed == 0) {
          EXPECT_EQ(r.rc, kExitOk) << r.err;
          EXPECT_EQ(Ctl({"export", fresh}).out, box.programs);
          fs::remove(Utf8ToU16(fresh));
          break;
        }
        EXPECT_EQ(r.rc, kExitFailure) << r.out;
        EXPECT_FALSE(fs::exists(Utf8ToU16(fresh)));
        ASSERT_LT(n, 100u);
      }
    }
  }
}

// Quiet: the summary alone (and nothing of the report) on standard output.
TEST(CtlRecover, QuietPrintsTheSummaryAlone) {
  TempDir dir;
  const Box box = MakeBox(dir, false);
  Operate(box.path, FlipInPrograms(EntryOffset(5) + 9, 0x20));
  const CtlResult r = Ctl({"-q", "recover", box.path, "-o", Arg(dir, "new.mnf")});
  EXPECT_EQ(r.rc, kExitFindings);
  EXPECT_EQ(Lines(r.out).size(), 1u) << r.out;
  EXPECT_NE(r.out.find("42 entries in 2 streams recovered"), std::string::npos) << r.out;
}

// A journal beside the container is used only in memory, and left as found
// with the container: an interrupted replacement's is applied to the copy (the
// older list is recovered), an incomplete one's changed nothing, another
// container's is not applied.
TEST(CtlRecover, AJournalBesideTheContainerIsLeftAsItIs) {
  TempDir dir;
  const HotJournal hot = MakeHotJournal(dir);
  ASSERT_FALSE(hot.box.empty());
  TempDir plain;
  const Box box = MakeBox(plain, false);
  struct Case {
    const char* what;
    std::string container;
    std::string journal;  // bytes to put there, or "" to keep the hot one
    std::string programs;
    const char* message;
  };
  const Case cases[] = {
      {"interrupted replacement", hot.box, "", hot.old_export,
       "an interrupted replacement was rolled back in memory: the older stream is what was read; "
       "the container and its journal"},
      {"incomplete journal", box.path, "MFJL junk", box.programs,
       "an interrupted replacement had not changed the container: its bytes are read as they are"},
      {"another container's journal", box.path, "hot", box.programs,
       "is the journal of another container; it is left alone"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string journal = c.container + "-journal";
    if (c.journal == "hot") {
      // Removed first: MinGW's copy_file refuses overwrite_existing.
      fs::remove(Utf8ToU16(journal));
      fs::copy_file(Utf8ToU16(hot.box + "-journal"), Utf8ToU16(journal));
    } else if (!c.journal.empty()) {
      WriteAll(fs::path(Utf8ToU16(journal)),
               std::vector<uint8_t>(c.journal.begin(), c.journal.end()));
    }
    const std::vector<uint8_t> container = FileBytes(c.container);
    const std::vector<uint8_t> journal_bytes = FileBytes(journal);
    const std::string fresh = c.container + ".new";
    const CtlResult r = Ctl({"recover", c.container, "-o", fresh});
    EXPECT_EQ(r.rc, kExitOk) << r.out << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(FileBytes(c.container), container);
    EXPECT_EQ(FileBytes(journal), journal_bytes);
    EXPECT_EQ(Ctl({"export", fresh}).out, c.programs);
    fs::remove(Utf8ToU16(fresh));
  }
}

TEST(CtlRecover, RefusesAnOutputThatExistsOrIsTheContainer) {
  struct Refusal {
    const char* what;
    std::function<std::string(const TempDir&, const std::string& box)> output;
    int rc;
    const char* message;
  };
  const Refusal refusals[] = {
      {"the container itself", [](const TempDir&, const std::string& box) { return box; },
       kExitFailure, "the new container is the container"},
      {"the container by another name",
       [](const TempDir& dir, const std::string&) {
         return U16ToUtf8((dir.path() / "." / "damaged.mnf").u16string());
       },
       kExitFailure, "the new container is the container"},
      {"an empty file",
       [](const TempDir& dir, const std::string&) { return WriteText(dir, "new.mnf", ""); },
       kExitFailure, "exists; recover writes only a new container"},
      {"a folder",
       [](const TempDir& dir, const std::string&) {
         fs::create_directory(dir.path() / "folder");
         return Arg(dir, "folder");
       },
       kExitFailure, "exists"},
      {"standard output", [](const TempDir&, const std::string&) { return std::string("-"); },
       kExitUsage, "not standard output"},
  };
  for (const Refusal& f : refusals) {
    SCOPED_TRACE(f.what);
    TempDir dir;
    const Box box = MakeBox(dir, false);
    FlipByte(box.path, kHeaderCrcOffset, 0x01);
    const std::string output = f.output(dir, box.path);
    const std::vector<uint8_t> damaged = FileBytes(box.path);
    const bool existed = output != "-" && fs::is_regular_file(Utf8ToU16(output));
    const std::vector<uint8_t> before = existed ? FileBytes(output) : std::vector<uint8_t>();
    const CtlResult r = Ctl({"recover", box.path, "-o", output});
    EXPECT_EQ(r.rc, f.rc);
    EXPECT_NE(r.err.find(f.message), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(FileBytes(box.path), damaged);
    if (existed) {
      EXPECT_EQ(FileBytes(output), before);
    }
  }
}

TEST(CtlRecover, AContainerThatCannotBeReadMakesNoNewOne) {
  TempDir dir;
  fs::create_directory(dir.path() / "folder");
  for (const std::string& damaged : {Arg(dir, "missing.mnf"), Arg(dir, "folder")}) {
    SCOPED_TRACE(damaged);
    const CtlResult r = Ctl({"recover", damaged, "-o", Arg(dir, "new.mnf")});
    EXPECT_EQ(r.rc, kExitFailure);
    EXPECT_NE(r.err.find("cannot open the container for reading"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir.path() / "new.mnf"));
  }
}

}  // namespace
}  // namespace tl::test
