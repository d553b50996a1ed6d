// The roads a caller takes through the library, timed with a plain clock and
// set beside one RC4 pass over the same payload measured in the same run: the
// ratio says how far a road is from the cipher it cannot avoid, and it carries
// over between machines far better than milliseconds do.
//
// The two drivers (through the portable core natively, through trustlist.dll by
// ordinal under Wine) implement Roads; RunRoads times them in the same order
// with the same inputs and prints one table.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tl::bench {

// What a driver offers: the library's entry points, or the core doing what
// they do.
class Roads {
 public:
  virtual ~Roads() = default;
  // Imports the hash list at `path` into the stream "ProgramList" of the
  // container `container`; returns the commit's result.
  virtual uint32_t Import(const std::filesystem::path& container,
                          const std::filesystem::path& path) = 0;
  // Selects the stream "ProgramList" of `container` and empties the list.
  virtual void Select(const std::filesystem::path& container) = 0;
  // Adds one program description record (TrustlistProgram bytes).
  virtual int32_t AddProgram(void* record) = 0;
  // Stores the list in the selected stream; returns the block count.
  virtual uint32_t Commit() = 0;
  // The container that Import, Select and Commit write, in `dir`.
  virtual std::filesystem::path ContainerIn(const std::filesystem::path& dir) = 0;
};

// The process's peak and current resident memory in bytes (0 when unknown).
uint64_t PeakResidentBytes();
uint64_t CurrentResidentBytes();

// The minor page faults (a fresh page met for the first time) this process
// has taken so far, as the system counts them (0 when unknown).
uint64_t MinorFaults();

// What one minor fault costs on this machine, in seconds: fresh memory of the
// system's own (no huge pages asked for) is touched once per 4 KiB page and
// timed, best of three. 0 when the faults cannot be counted.
double SecondsPerFault();

// A child program's run: its wall time, peak resident memory and minor faults.
struct ChildRun {
  double seconds = 0;
  uint64_t peak_bytes = 0;
  uint64_t faults = 0;
};

// Runs a program to its end with its output discarded. False when it cannot
// be run or does not exit with 0.
bool RunChild(const std::vector<std::string>& argv, ChildRun* run);

// Times every road in `dir` (a scratch folder the caller owns) and prints the
// table to standard output. `runs` is the best-of count for each road. Returns
// 0, or 1 when a road gave a result other than the one it must give.
int RunRoads(Roads& roads, const std::filesystem::path& dir, int runs, const char* title);

// Times `trustctl import` of a 150,000-line hash list into a new container in
// `dir`, then `dump --json`, `export` and `diff` of that full container, each
// beside one RC4 pass over the stored payload, with the tool's peak memory.
// Returns 0, or 1 when the tool failed.
int RunToolImport(const std::string& trustctl, const std::filesystem::path& dir, int runs);

}  // namespace tl::bench
