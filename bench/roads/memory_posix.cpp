// Resident memory and page faults of this process on Linux, and a child
// program's time, peak memory and faults.
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

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

uint64_t MinorFaults() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<uint64_t>(usage.ru_minflt);
}

double SecondsPerFault() {
  constexpr size_t kBytes = size_t{64} << 20;
  double best = 0;
  for (int i = 0; i < 3; ++i) {
    void* p = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return 0;
#ifdef MADV_NOHUGEPAGE
    madvise(p, kBytes, MADV_NOHUGEPAGE);
#endif
    auto* bytes = static_cast<volatile uint8_t*>(p);
    const uint64_t before = MinorFaults();
    const auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at < kBytes; at += 4096) bytes[at] = 1;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint64_t faults = MinorFaults() - before;
    munmap(p, kBytes);
    if (faults == 0) return 0;
    const double each = seconds / static_cast<double>(faults);
    if (best == 0 || each < best) best = each;
  }
  return best;
}

bool RunChild(const std::vector<std::string>& argv, ChildRun* run) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // What this process has printed goes out now, not again from the child.
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  run->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run->peak_bytes = static_cast<uint64_t>(usage.ru_maxrss) * 1024;
  run->faults = static_cast<uint64_t>(usage.ru_minflt);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace tl::bench
