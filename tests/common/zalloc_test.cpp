#include "common/zalloc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace tl {
namespace {

#if defined(__linux__)
// The VmFlags line of the mapping of this process that holds `p`: "hg" in it
// is a range the process asked huge pages for.
std::string FlagsOfMappingAt(const void* p) {
  std::ifstream smaps("/proc/self/smaps");
  const auto at = reinterpret_cast<uintptr_t>(p);
  bool inside = false;
  std::string line;
  while (std::getline(smaps, line)) {
    unsigned long long start = 0, end = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx ", &start, &end) == 2 && line.find('-') < 17) {
      inside = start <= at && at < end;
      continue;
    }
    if (inside && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return "";
}

bool AskedHugePages(const void* p) {
  const std::string flags = FlagsOfMappingAt(p);
  return flags.find(" hg") != std::string::npos;
}
#endif

// A large buffer's pages are asked for as huge pages where the system offers
// them; a small one is left as the heap gives it; and the memory is zeroed
// either way.
TEST(ZeroAlloc, LargeBuffersAskForHugePages) {
#if !defined(__linux__)
  GTEST_SKIP() << "huge pages are asked for on Linux only";
#else
  std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
  if (!mode) GTEST_SKIP() << "this kernel has no transparent huge pages";
  const size_t large = kLargeBuffer + (size_t{3} << 20);
  auto* big = static_cast<uint8_t*>(ZeroAlloc(large));
  ASSERT_NE(big, nullptr);
  // The middle of the buffer lies in the advised range (its edges may not:
  // the hint is given for whole pages inside it).
  EXPECT_TRUE(AskedHugePages(big + large / 2)) << FlagsOfMappingAt(big + large / 2);
  EXPECT_EQ(big[0], 0);
  EXPECT_EQ(big[large - 1], 0);
  auto* small = static_cast<uint8_t*>(ZeroAlloc(4096));
  ASSERT_NE(small, nullptr);
  EXPECT_FALSE(AskedHugePages(small)) << FlagsOfMappingAt(small);
  ZeroFree(small);
  ZeroFree(big);
#endif
}

}  // namespace
}  // namespace tl
