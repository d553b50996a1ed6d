// Blocks the builders assemble in the library's own work areas enter the list
// without the readability probe and with one allocation each; memory a caller
// hands in is still probed, and an unreadable source is still refused.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "blocklist/block_copy.h"
#include "blocklist/program_block.h"
#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "entry/hash_list.h"
#include "entry/program_builder.h"
#include "support/list_import.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::ImportHashListInto;

std::vector<uint8_t> Record(const std::u16string& path) {
  std::vector<uint8_t> r(kPdMinSize, 0);
  StoreU32(r.data(), kPdCbSizeOffset, kPdMinSize);
  for (size_t i = 0; i < path.size(); ++i) StoreU16(r.data(), kPdPathOffset + 2 * i, path[i]);
  StoreU32(r.data(), kPdValueSingleOffset, 5);
  return r;
}

TEST(OwnBlocks, OnlyCallerMemoryIsProbed) {
  test::TempDir dir;
  const std::string text = "1 2\n3 4\n5 6\n";
  test::WriteAll(dir.path() / "h.txt", std::vector<uint8_t>(text.begin(), text.end()));
  const std::u16string hash_list = dir.File("h.txt");
  struct Case {
    const char* name;
    std::function<void(CVarBlockList&)> run;
    bool probes;
    uint32_t listed;
  };
  const std::vector<Case> cases = {
      {"hash list import", [&](CVarBlockList& l) { ImportHashListInto(l, hash_list.c_str()); },
       false, 3},
      {"program with path and values",
       [](CVarBlockList& l) {
         std::vector<uint8_t> r = Record(u"C:\\a\\b.exe");
         AddProgramTo(l, r.data());
       },
       false, 1},
      {"AddBlockCopy of a caller's block",
       [](CVarBlockList& l) {
         std::vector<uint8_t> r = Record(u"d.exe");
         alignas(8) uint8_t work[kProgramWorkBytes];
         uint32_t size = 0;
         ASSERT_EQ(BuildProgramBlock(r.data(), work, &size), 1);
         l.AddBlockCopy(work);
       },
       true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CVarBlockList list;
    const uint64_t probes = ProbeCallCount();
    const uint64_t allocations = AllocCallCount();
    c.run(list);
    EXPECT_EQ(ProbeCallCount() != probes, c.probes);
    EXPECT_EQ(list.GetCount(), c.listed);
    if (!c.probes) {
      EXPECT_LE(AllocCallCount() - allocations, 2u) << "the arena's chunk and its table";
    }
  }
}

TEST(OwnBlocks, UnreadableCallerSourceIsStillRefused) {
  CVarBlockList list;
  for (uintptr_t address : {uintptr_t{0x10}, uintptr_t{0x1000}, uintptr_t{0xFFFF0000}}) {
    SCOPED_TRACE(address);
    EXPECT_EQ(list.AddBlockCopy(reinterpret_cast<const void*>(address)), 0u);
  }
  EXPECT_EQ(list.GetCount(), 0u);
  EXPECT_EQ(BlockCopy(reinterpret_cast<const void*>(uintptr_t{0x1000}), 48), nullptr);

  // A record whose file address leads nowhere: the path is not read, the
  // fingerprint is 0, and the block still goes in.
  std::vector<uint8_t> r = Record(u"e.exe");
  StoreU64(r.data(), kPdFingerprintFileOffset, 0x1000);
  EXPECT_EQ(AddProgramTo(list, r.data()), 1);
  EXPECT_EQ(LoadU64(r.data(), kPdFingerprintFileOffset), 0u);
  EXPECT_EQ(list.GetCount(), 1u);
}

// The key of a name in our own buffer equals the probed, copied key for every
// kind of name, across the pieces it is folded in.
TEST(OwnBlocks, OwnNameKeyEqualsTheNameKey) {
  std::vector<std::u16string> names = {u"a",
                                       u"ABC.EXE@*",
                                       u"mixed\u00C4\u00E4Case\u0130",
                                       u"000020001234abcd.*",
                                       std::u16string(63, u'Q'),
                                       std::u16string(64, u'Q'),
                                       std::u16string(65, u'q') + u"Z",
                                       std::u16string(kNameKeyMaxUnits - 1, u'X')};
  for (const auto& name : names) {
    SCOPED_TRACE(name.size());
    const uint32_t key = ComputeNameKey(name.c_str());
    EXPECT_NE(key, 0u);
    EXPECT_EQ(ComputeOwnNameKey(name.c_str()), key);
  }
  EXPECT_EQ(ComputeOwnNameKey(u""), 0u);
  EXPECT_EQ(ComputeOwnNameKey(std::u16string(kNameKeyMaxUnits, u'X').c_str()), 0u);
}

}  // namespace
}  // namespace tl
