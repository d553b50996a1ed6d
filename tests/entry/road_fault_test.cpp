// Fault loops over the roads that change a container: the commit road (open,
// measure, export, write the stream), the import road (reader, builder, list,
// commit) and AddProgram's road (AddProgramTo, commit). Each road runs with
// the n-th allocation, read, write or flush failing, once and from there on,
// for n = 1, 2, ... until it completes without meeting the fault. After every
// run and the next open (which rolls back an interrupted write): no crash, no
// leak (ASan/LSan in native-asan), the checked reader accepts the container,
// the other stream keeps its bytes, and the stream is the older one unless the
// road reported success, then the one it wrote.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "blocklist/var_block_list.h"
#include "common/zalloc.h"
#include "entry/hash_list.h"
#include "entry/list_payload.h"
#include "entry/list_store.h"
#include "entry/list_stream.h"
#include "entry/payload_builder.h"
#include "entry/program_builder.h"
#include "minifile/minifile_test_util.h"
#include "platform/fault_hook.h"
#include "platform/file.h"
#include "support/temp_dir.h"
#include "trustlist/trustlist.h"

namespace tl {
namespace {

namespace fs = std::filesystem;
using platform::IoOp;

constexpr uint32_t kB = 1024;  // 14 data blocks: the replaced list must often reuse
constexpr CreationParameters kRoadParameters{20, kB, 16, 4, 0};

enum class Road { kCommitReuse, kCommitFree, kImport, kAddProgram };
enum class Fault { kAlloc, kRead, kWrite, kFlush };

const char* RoadName(Road r) {
  switch (r) {
    case Road::kCommitReuse:
      return "commit (reusing blocks)";
    case Road::kCommitFree:
      return "commit (free blocks)";
    case Road::kImport:
      return "import";
    case Road::kAddProgram:
      return "add program";
  }
  return "";
}

void AddHashBlocks(CVarBlockList& list, uint32_t first, uint32_t count) {
  uint8_t work[kHashBlockSize];
  for (uint32_t i = first; i < first + count; ++i) {
    BuildHashBlock(work, i, 0xC0DE0000u + i);
    list.AddBlockCopy(work);
  }
}

// Writes `list` as the ProgramList of the container at `path`; the count, or 0.
// The store's own road, as the library's commit takes it.
uint32_t CommitList(const std::u16string& path, CVarBlockList& list) {
  ListStore store;
  if (store.Open(path.c_str(), kRoadParameters) != StoreStatus::kOk) return 0;
  uint32_t count = 0;
  store.WriteList(u"ProgramList", list, &count);
  return count;
}

uint32_t CommitBuilt(const std::u16string& path, PayloadBuilder& built) {
  ListStore store;
  if (store.Open(path.c_str(), kRoadParameters) != StoreStatus::kOk) return 0;
  uint32_t count = 0;
  store.WriteBuilt(u"ProgramList", built, &count);
  return count;
}

struct World {
  test::TempDir dir;
  std::u16string box, hash_list;
  std::vector<uint8_t> before;           // the container before every run
  std::vector<uint8_t> old_list, other;  // its two streams
  std::vector<TrustlistProgram> programs;
  std::vector<std::u16string> program_paths;
};

std::vector<uint8_t> Stream(const std::vector<uint8_t>& c, const char16_t* name) {
  return test::ReadBack(c, name);
}

void MakeWorld(World* w) {
  w->box = w->dir.File("TrustCustom.mnf");
  std::string text;
  for (uint32_t i = 1; i <= 40; ++i) text += std::to_string(i) + " " + std::to_string(i * 7) + "\n";
  test::WriteAll(w->dir.path() / "list.txt", std::vector<uint8_t>(text.begin(), text.end()));
  w->hash_list = w->dir.File("list.txt");
  {
    ListStore store;
    ASSERT_EQ(store.Open(w->box.c_str(), kRoadParameters), StoreStatus::kOk);
    const auto other = test::Pattern(kB - 7, 5);
    ASSERT_EQ(store.Write(u"BlockList", other.data(), kB - 7), StoreStatus::kOk);
  }
  CVarBlockList old;
  AddHashBlocks(old, 1000, 30);  // 6 blocks; 7 stay free
  ASSERT_EQ(CommitList(w->box, old), 30u);
  w->before = test::ReadAll(w->dir.path() / "TrustCustom.mnf");
  w->old_list = Stream(w->before, u"ProgramList");
  w->other = Stream(w->before, u"BlockList");
  ASSERT_FALSE(w->old_list.empty());
  ASSERT_FALSE(w->other.empty());
  w->program_paths = {u"C:\\apps\\one.exe", u"C:\\apps\\two.exe", u"D:\\tools\\three.exe"};
  w->programs.resize(w->program_paths.size());
  for (size_t k = 0; k < w->programs.size(); ++k) {
    TrustlistProgram& p = w->programs[k];
    std::memset(&p, 0, sizeof p);
    p.cbSize = sizeof p;
    std::memcpy(p.path, w->program_paths[k].c_str(), w->program_paths[k].size() * 2);
    p.text1[0] = 'x';
  }
}

// Runs one road; its list is made before the fault is armed where the road
// starts from a list (the commit roads). Returns the road's result.
uint32_t RunRoad(World* w, Road road, Fault fault, uint64_t n, bool persistent, bool* met) {
  CVarBlockList list;
  if (road == Road::kCommitReuse) AddHashBlocks(list, 1, 40);  // 8 blocks: one reused
  if (road == Road::kCommitFree) AddHashBlocks(list, 1, 4);    // 1 block
  platform::IoFaultPlan plan;
  if (fault != Fault::kAlloc) {
    plan.op = fault == Fault::kRead    ? IoOp::kRead
              : fault == Fault::kWrite ? IoOp::kWrite
                                       : IoOp::kFlush;
    plan.fail_at = n;
    plan.persistent = persistent;
  }
  const uint64_t allocs = AllocCallCount();
  uint32_t result = 0;
  {
    platform::IoFaultScope scope(fault != Fault::kAlloc ? &plan : nullptr);
    if (fault == Fault::kAlloc) SetAllocFailureAt(n, persistent);
    bool ready = true;
    if (road == Road::kImport) {
      // The import's road: the payload built from the file, stored only whole.
      PayloadBuilder built;
      std::unique_ptr<platform::File> file = platform::OpenFileForReading(w->hash_list.c_str());
      if (file && BuildHashListPayload(*file, built)) result = CommitBuilt(w->box, built);
      ready = false;
    }
    if (road == Road::kAddProgram) {
      for (TrustlistProgram& p : w->programs) AddProgramTo(list, &p);
    }
    if (ready) result = CommitList(w->box, list);
    SetAllocFailureAt(0);
  }
  *met = fault == Fault::kAlloc ? AllocCallCount() - allocs >= n : plan.failed != 0;
  list.RemoveAll();
  return result;
}

TEST(RoadFaults, EveryInjectionPointKeepsTheContainerSound) {
  World w;
  MakeWorld(&w);
  const fs::path box = w.dir.path() / "TrustCustom.mnf";
  const fs::path journal = w.dir.path() / "TrustCustom.mnf-journal";

  // What each road stores when nothing fails.
  const Road roads[] = {Road::kCommitReuse, Road::kCommitFree, Road::kImport, Road::kAddProgram};
  const uint32_t expected_count[] = {40, 4, 40, 3};
  std::vector<std::vector<uint8_t>> reference;
  for (Road road : roads) {
    test::WriteAll(box, w.before);
    bool met = false;
    EXPECT_GT(RunRoad(&w, road, Fault::kRead, 0, false, &met), 0u);
    reference.push_back(Stream(test::ReadAll(box), u"ProgramList"));
  }

  uint64_t points = 0;
  for (size_t r = 0; r < std::size(roads); ++r) {
    for (Fault fault : {Fault::kAlloc, Fault::kRead, Fault::kWrite, Fault::kFlush}) {
      for (bool persistent : {false, true}) {
        for (uint64_t n = 1;; ++n) {
          SCOPED_TRACE(testing::Message() << RoadName(roads[r]) << ", fault " << int(fault)
                                          << (persistent ? " from " : " at ") << n);
          test::WriteAll(box, w.before);
          bool met = false;
          const uint32_t result = RunRoad(&w, roads[r], fault, n, persistent, &met);
          // The next open puts back what an interrupted write saved.
          {
            ListStore next;
            ASSERT_EQ(next.Open(w.box.c_str(), kRoadParameters), StoreStatus::kOk);
          }
          EXPECT_FALSE(fs::exists(journal));
          const auto after = test::ReadAll(box);
          ContainerReader reader;
          ASSERT_TRUE(reader.OpenBytes(after.data(), after.size()));
          EXPECT_TRUE(reader.Verify().empty());
          EXPECT_EQ(Stream(after, u"BlockList"), w.other);
          const auto stored = Stream(after, u"ProgramList");
          if (!met) {
            EXPECT_EQ(result, expected_count[r]);
            EXPECT_EQ(stored, reference[r]);
            break;
          }
          ++points;
          // An I/O fault always fails the road, and so does an allocation on
          // the commit roads. The import stores its whole file or nothing (a
          // reservation that fails only makes the payload grow as it goes);
          // on AddProgram's road an allocation may cost one program's block
          // or its name key (0), and what is stored is then the list built.
          if (fault != Fault::kAlloc || roads[r] == Road::kCommitReuse ||
              roads[r] == Road::kCommitFree) {
            EXPECT_EQ(result, 0u);
          }
          if (roads[r] == Road::kImport && result != 0) {
            EXPECT_EQ(result, expected_count[r]);
            EXPECT_EQ(stored, reference[r]);
          }
          if (result == 0) {
            EXPECT_EQ(stored, w.old_list);
          } else {
            ParsedPayload parsed;
            ASSERT_TRUE(ParseListPayload(stored.data(), stored.size(), &parsed));
            EXPECT_EQ(parsed.blocks.size(), result);
            EXPECT_LE(result, expected_count[r]);
          }
          ASSERT_LT(n, 2000u);
        }
      }
    }
  }
  std::printf("road fault loops: %llu injection points covered\n",
              static_cast<unsigned long long>(points));
  RecordProperty("injection_points", static_cast<int>(points));
  EXPECT_GT(points, 100u);
}

}  // namespace
}  // namespace tl
