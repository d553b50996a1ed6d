// Resident memory (working set) of this process on Windows.
#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>

#include "road_common.h"

namespace tl::bench {
namespace {

PROCESS_MEMORY_COUNTERS Counters() {
  PROCESS_MEMORY_COUNTERS c{};
  c.cb = sizeof c;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c)) return PROCESS_MEMORY_COUNTERS{};
  return c;
}

}  // namespace

uint64_t PeakResidentBytes() { return Counters().PeakWorkingSetSize; }
uint64_t CurrentResidentBytes() { return Counters().WorkingSetSize; }

// The tool is timed natively only (scripts/bench); here it is not offered.
bool RunChild(const std::vector<std::string>&, double*, uint64_t*) { return false; }

}  // namespace tl::bench
