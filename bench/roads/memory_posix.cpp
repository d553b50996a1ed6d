// Resident memory of this process on Linux.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "road_common.h"

namespace tl::bench {

uint64_t PeakResidentBytes() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}

uint64_t CurrentResidentBytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long total = 0, resident = 0;
  const int got = std::fscanf(f, "%lu %lu", &total, &resident);
  std::fclose(f);
  return got == 2 ? static_cast<uint64_t>(resident) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE))
                  : 0;
}

}  // namespace tl::bench
