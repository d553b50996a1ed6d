#include "road_common.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <unordered_set>
#include <vector>

#include "blocklist/block_header.h"
#include "common/le.h"
#include "entry/hash_list.h"
#include "minifile/container_reader.h"
#include "minifile/rc4.h"
#include "trustlist/trustlist.h"

namespace tl::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// A hash list of `lines` pairs as "%08x %08x\n" lines, whose names all have
// distinct keys (among 150,000 names a few share a CRC-32; such a pair is left
// out, so that every line stays one block and the count is exact). Lists of
// another `variant` share no pair with it.
void WriteHashList(const fs::path& path, uint32_t lines, uint32_t variant = 0) {
  std::string text;
  text.reserve(size_t{lines} * 18);
  std::unordered_set<uint64_t> keys;
  char line[32];
  alignas(8) uint8_t block[kHashBlockSize];
  for (uint32_t i = 0; keys.size() < lines; ++i) {
    const uint32_t crc = i * 0x9E3779B1u + variant * 0x7F4A7C15u;
    BuildHashBlock(block, 0x1000 + i, crc);
    if (!keys.insert(LoadU64(block, kBlockKeyOffset)).second) continue;
    std::snprintf(line, sizeof line, "%08x %08x\n", 0x1000 + i, crc);
    text += line;
  }
  std::ofstream(path, std::ios::binary) << text;
}

// The size of the stream "ProgramList" in `container`, 0 when absent.
uint32_t StoredPayloadBytes(const fs::path& container) {
  ContainerReader reader;
  const std::u16string p = container.u16string();
  if (!reader.Open(p.c_str())) return 0;
  const int entry = reader.FindStream(u"ProgramList");
  return entry < 0 ? 0 : reader.entries()[static_cast<size_t>(entry)].size;
}

// One RC4 pass (key schedule and cipher) over `bytes` bytes: the best of five
// now, or, when a pass over as many bytes was faster earlier in this run, that
// one. Another process or a busy host can only slow a pass down, so the
// fastest seen is the floor; a floor taken in a slow moment would flatter the
// ratios of its row.
double Rc4PassSeconds(uint32_t bytes) {
  static std::map<uint32_t, double> fastest;
  std::vector<uint8_t> data(bytes, 0x5A);
  const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  auto [seen, fresh] = fastest.try_emplace(bytes, 1e9);
  (void)fresh;
  for (int i = 0; i < 5; ++i) {
    Rc4State rc4;
    const auto start = Clock::now();
    Rc4SetKey(&rc4, key);
    Rc4Crypt(&rc4, bytes, data.data(), data.data());
    seen->second = std::min(seen->second, Seconds(start));
  }
  return seen->second;
}

void SetPath(TrustlistProgram* p, const std::u16string& path) {
  std::memset(p->path, 0, sizeof p->path);
  std::memcpy(p->path, path.data(), std::min(path.size(), size_t{259}) * 2);
}

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

struct Row {
  std::string road;
  uint32_t result = 0;
  uint32_t payload = 0;
  double seconds = 0;
  double rc4 = 0;
  uint64_t peak_growth = 0;  // bytes; 0 when not measured
  uint64_t faults = 0;       // minor page faults of the best run
  bool whole_process = false;
};

// The cost of one minor fault here, measured once per program.
double FaultCost() {
  static const double cost = SecondsPerFault();
  return cost;
}

// The share of a road's time its page faults take: their count (the
// system's) times what one costs on this machine (measured above). The cost
// of a fault depends on the machine: on a virtual machine it is several times
// that of bare metal.
double FaultShare(uint64_t faults, double seconds) {
  return seconds > 0 ? 100.0 * static_cast<double>(faults) * FaultCost() / seconds : 0.0;
}

void Print(const Row& r) {
  std::printf("%-44s %8s %10u %9.1f %8.1f %7.1fx %8llu %5.0f%%", r.road.c_str(),
              r.result != 0 ? std::to_string(r.result).c_str() : "", r.payload, r.seconds * 1e3,
              r.rc4 * 1e3, r.rc4 > 0 ? r.seconds / r.rc4 : 0.0,
              static_cast<unsigned long long>(r.faults), FaultShare(r.faults, r.seconds));
  if (r.peak_growth != 0 && r.payload != 0) {
    std::printf("   peak %s%.1f MB = %.2fx payload%s", r.whole_process ? "" : "+",
                static_cast<double>(r.peak_growth) / 1e6,
                static_cast<double>(r.peak_growth) / r.payload,
                r.whole_process ? " (whole process)" : "");
  }
  std::printf("\n");
  std::fflush(stdout);
}

void PrintHeading() {
  std::printf("%-44s %8s %10s %9s %8s %8s %8s %6s\n", "road", "result", "payload", "ms", "rc4 ms",
              "ratio", "faults", "fault");
}

}  // namespace

int RunRoads(Roads& roads, const fs::path& dir, int runs, const char* title) {
  int status = 0;
  // TL_ROAD=<text> runs only the roads whose name holds it (for profiling one).
  const char* only = std::getenv("TL_ROAD");
  auto wanted = [only](const char* road) { return only == nullptr || std::strstr(road, only); };
  const fs::path container = roads.ContainerIn(dir);
  const fs::path list15k = dir / "hash15000.txt";
  const fs::path list150k = dir / "hash150000.txt";
  const fs::path other150k = dir / "other150000.txt";
  WriteHashList(list15k, 15000);
  WriteHashList(list150k, 150000);
  WriteHashList(other150k, 150000, 1);
  std::printf("%s (best of %d; one minor fault costs %.2f us here)\n", title, runs,
              FaultCost() * 1e6);
  PrintHeading();

  // Each run starts from no container: a stream is replaced only into blocks
  // no stream used before, and two 29 MiB lists do not fit into one file.
  uint64_t best_faults = 0;
  auto best = [&](const std::function<uint32_t()>& run, uint32_t* result) {
    double b = 1e9;
    for (int i = 0; i < runs; ++i) {
      std::error_code ec;
      fs::remove(container, ec);
      const uint64_t faults = MinorFaults();
      const auto start = Clock::now();
      *result = run();
      const double seconds = Seconds(start);
      if (seconds < b) {
        b = seconds;
        best_faults = MinorFaults() - faults;
      }
    }
    return b;
  };
  auto finish = [&](Row row, uint32_t expected) {
    if (row.faults == 0) row.faults = best_faults;
    row.payload = StoredPayloadBytes(container);
    row.rc4 = Rc4PassSeconds(row.payload);
    if (row.result != expected) {
      std::printf("%s: result %u, expected %u\n", row.road.c_str(), row.result, expected);
      status = 1;
    }
    Print(row);
    return row;
  };

  // The largest import first, so that the process's peak memory is its own.
  if (wanted("ImportProgramList")) {
    Row big{"ImportProgramList 150,000 lines"};
    const uint64_t before = CurrentResidentBytes();
    big.seconds = best([&] { return roads.Import(container, list150k); }, &big.result);
    const uint64_t peak = PeakResidentBytes();
    big.peak_growth = peak > before ? peak - before : 0;
    big = finish(big, 150000);

    Row small{"ImportProgramList 15,000 lines"};
    small.seconds = best([&] { return roads.Import(container, list15k); }, &small.result);
    small = finish(small, 15000);
    std::printf("%-44s %8s %10s %9s %8s %7.1fx\n", "ImportProgramList 150,000 / 15,000", "", "", "",
                "", big.seconds / small.seconds);
  }

  // The import a user meets most: a new list replacing one of its own size
  // (no pair in common). The new stream fits only by reusing the older one's
  // blocks, so the write goes through the rollback journal. Each run starts
  // from a container that holds the other 150,000-line list, written before
  // the clock starts.
  if (wanted("over 150,000")) {
    Row over{"ImportProgramList 150,000 over 150,000"};
    over.seconds = 1e9;
    for (int i = 0; i < runs; ++i) {
      std::error_code ec;
      fs::remove(container, ec);
      if (roads.Import(container, other150k) != 150000) status = 1;
      const uint64_t faults = MinorFaults();
      const auto start = Clock::now();
      over.result = roads.Import(container, list150k);
      const double seconds = Seconds(start);
      if (seconds < over.seconds) {
        over.seconds = seconds;
        over.faults = MinorFaults() - faults;
      }
    }
    finish(over, 150000);
  }

  std::vector<uint8_t> bytes(sizeof(TrustlistProgram), 0);
  auto* record = reinterpret_cast<TrustlistProgram*>(bytes.data());
  // The caller's paths are formatted before the clock starts: the road is the
  // library's work, not the caller's number formatting.
  auto paths = [](const std::string& prefix, uint32_t n) {
    std::vector<std::u16string> out;
    out.reserve(n);
    for (uint32_t i = 0; i < n; ++i) out.push_back(U16(prefix + std::to_string(i) + ".exe"));
    return out;
  };
  if (wanted("AddProgram 150,000")) {
    const std::vector<std::u16string> names = paths("C:\\Program Files\\Bench\\program", 150000);
    Row plain{"AddProgram 150,000 (path, values) + Commit"};
    plain.seconds = best(
        [&] {
          roads.Select(container);
          for (uint32_t i = 0; i < 150000; ++i) {
            std::memset(bytes.data(), 0, bytes.size());
            record->cbSize = sizeof(TrustlistProgram);
            SetPath(record, names[i]);
            record->valueSingle = i + 1;
            record->valuePairFirst = 7;
            record->valuePairSecond = i;
            roads.AddProgram(record);
          }
          return roads.Commit();
        },
        &plain.result);
    finish(plain, 150000);
  }
  if (!wanted("AddProgram 10,000")) return status;

  // Both files are one small executable image with a link time stamp.
  const fs::path self = dir / "sample.exe";
  {
    std::ofstream out(self, std::ios::binary);
    std::vector<char> pe(16384, 0);
    std::memcpy(pe.data(), "MZ", 2);
    StoreU32(pe.data(), 0x3C, 0x80);
    std::memcpy(pe.data() + 0x80, "PE\0\0", 4);
    StoreU32(pe.data(), 0x80 + 8, 0x5F5E1000u);  // the link time stamp
    out.write(pe.data(), static_cast<std::streamsize>(pe.size()));
  }
  const std::u16string file = self.u16string();
  const std::vector<std::u16string> tools = paths("C:\\Bench\\tool", 10000);
  Row files{"AddProgram 10,000 (time stamp, fingerprint)"};
  files.seconds = best(
      [&] {
        roads.Select(container);
        for (uint32_t i = 0; i < 10000; ++i) {
          std::memset(bytes.data(), 0, bytes.size());
          record->cbSize = sizeof(TrustlistProgram);
          SetPath(record, tools[i]);
          record->timeStampFile = reinterpret_cast<uintptr_t>(file.c_str());
          record->fingerprintFile = reinterpret_cast<uintptr_t>(file.c_str());
          roads.AddProgram(record);
        }
        return roads.Commit();
      },
      &files.result);
  finish(files, 10000);
  return status;
}

int RunToolImport(const std::string& trustctl, const fs::path& dir, int runs) {
  const fs::path list = dir / "hash150000.txt";
  const fs::path other = dir / "other150000.txt";
  WriteHashList(list, 150000);
  WriteHashList(other, 150000, 1);
  const fs::path container = dir / "Tool.mnf";
  auto import = [&](const fs::path& from) {
    return std::vector<std::string>{trustctl,   "import",      container.string(),
                                    "--stream", "ProgramList", from.string()};
  };
  std::printf(
      "trustctl, each command a whole process (best of %d; one minor fault costs %.2f us "
      "here)\n",
      runs, FaultCost() * 1e6);
  PrintHeading();
  // Runs `argv` `runs` times (after `prepare`, outside the clock) and keeps
  // the best run's time and faults and the largest peak.
  auto time = [&](Row* row, const std::vector<std::string>& argv,
                  const std::function<bool()>& prepare) {
    row->seconds = 1e9;
    row->whole_process = true;
    for (int i = 0; i < runs; ++i) {
      ChildRun run;
      if (!prepare() || !RunChild(argv, &run)) {
        std::printf("%s: the tool failed\n", row->road.c_str());
        return false;
      }
      if (run.seconds < row->seconds) {
        row->seconds = run.seconds;
        row->faults = run.faults;
      }
      row->peak_growth = std::max(row->peak_growth, run.peak_bytes);
    }
    row->payload = StoredPayloadBytes(container);
    row->rc4 = Rc4PassSeconds(row->payload);
    Print(*row);
    return row->payload != 0;
  };
  // The tool's whole run: start, read, build, check, write, and the reading
  // back of the container it confirms the write with. `over` first fills the
  // container with another list of the same size (no pair in common), outside
  // the clock, so that the write replaces every entry and reuses the older
  // stream's blocks through the journal.
  Row fresh{"trustctl import 150,000 lines"};
  Row over{"trustctl import 150,000 over 150,000"};
  ChildRun ignored;
  const bool imported = time(&fresh, import(list),
                             [&] {
                               std::error_code ec;
                               fs::remove(container, ec);
                               return true;
                             }) &&
                        time(&over, import(list), [&] {
                          std::error_code ec;
                          fs::remove(container, ec);
                          return RunChild(import(other), &ignored);
                        });
  if (!imported) return 1;

  // The commands that read a whole list and write it out again, each over the
  // full container just made: they stream their output, so their memory
  // stays a small multiple of the payload and their time a few RC4 passes.
  const fs::path copy = dir / "Tool2.mnf";
  std::error_code ec;
  fs::remove(copy, ec);
  fs::copy_file(container, copy, ec);
  const std::vector<std::pair<std::string, std::vector<std::string>>> reads = {
      {"trustctl dump --json, full container", {trustctl, "dump", "--json", container.string()}},
      {"trustctl export, full container", {trustctl, "export", container.string()}},
      {"trustctl diff, two full containers", {trustctl, "diff", container.string(), copy.string()}},
  };
  for (const auto& [road, argv] : reads) {
    Row r{road};
    if (!time(&r, argv, [] { return true; })) return 1;
  }
  return 0;
}

}  // namespace tl::bench
