// Resident memory (working set) of this process on Windows.
#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>

#include <cstdlib>
#include <cstring>
#include <string>

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

// Under Wine the process is a Linux process, whose fault count the system
// keeps in /proc/PID/stat (drive Z: is the Unix root); Wine's
// GetProcessMemoryInfo does not count faults, and /proc/self would be the Wine
// server's, which opens files for its clients. scripts/bench passes the Unix
// process id as TL_UNIX_PID. Without it (Windows itself) the count is the
// working set's (soft and hard faults).
uint64_t MinorFaults() {
  wchar_t pid[32] = {};
  const DWORD pid_len = GetEnvironmentVariableW(L"TL_UNIX_PID", pid, 32);
  const std::wstring stat = std::wstring(L"Z:\\proc\\") + pid + L"\\stat";
  HANDLE f = pid_len == 0 || pid_len >= 32
                 ? INVALID_HANDLE_VALUE
                 : CreateFileW(stat.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               0, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    char text[1024] = {};
    DWORD got = 0;
    const BOOL read = ReadFile(f, text, sizeof text - 1, &got, nullptr);
    CloseHandle(f);
    // Fields after the command name in parentheses: state, ppid, pgrp,
    // session, tty_nr, tpgid, flags, minflt.
    const char* p = read ? std::strrchr(text, ')') : nullptr;
    for (int field = 0; p != nullptr && field < 8; ++field) {
      p = std::strchr(p + 1, ' ');
    }
    if (p != nullptr) return std::strtoull(p + 1, nullptr, 10);
  }
  return Counters().PageFaultCount;
}

double SecondsPerFault() {
  constexpr SIZE_T kBytes = SIZE_T{64} << 20;
  double best = 0;
  for (int i = 0; i < 3; ++i) {
    void* p = VirtualAlloc(nullptr, kBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (p == nullptr) return 0;
    auto* bytes = static_cast<volatile uint8_t*>(p);
    const uint64_t before = MinorFaults();
    LARGE_INTEGER f, a, b;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&a);
    for (SIZE_T at = 0; at < kBytes; at += 4096) bytes[at] = 1;
    QueryPerformanceCounter(&b);
    const uint64_t faults = MinorFaults() - before;
    VirtualFree(p, 0, MEM_RELEASE);
    if (faults == 0) return 0;
    const double each =
        static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart) / faults;
    if (best == 0 || each < best) best = each;
  }
  return best;
}

// The tool is timed natively only (scripts/bench); here it is not offered.
bool RunChild(const std::vector<std::string>&, ChildRun*) { return false; }

}  // namespace tl::bench
