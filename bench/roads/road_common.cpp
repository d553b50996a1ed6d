#include "road_common.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
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
// out, so that every line stays one block and the count is exact).
void WriteHashList(const fs::path& path, uint32_t lines) {
  std::string text;
  text.reserve(size_t{lines} * 18);
  std::unordered_set<uint64_t> keys;
  char line[32];
  alignas(8) uint8_t block[kHashBlockSize];
  for (uint32_t i = 0; keys.size() < lines; ++i) {
    BuildHashBlock(block, 0x1000 + i, i * 0x9E3779B1u);
    if (!keys.insert(LoadU64(block, kBlockKeyOffset)).second) continue;
    std::snprintf(line, sizeof line, "%08x %08x\n", 0x1000 + i, i * 0x9E3779B1u);
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

// One RC4 pass (key schedule and cipher) over `bytes` bytes, best of five.
double Rc4PassSeconds(uint32_t bytes) {
  std::vector<uint8_t> data(bytes, 0x5A);
  const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  double best = 1e9;
  for (int i = 0; i < 5; ++i) {
    Rc4State rc4;
    const auto start = Clock::now();
    Rc4SetKey(&rc4, key);
    Rc4Crypt(&rc4, bytes, data.data(), data.data());
    best = std::min(best, Seconds(start));
  }
  return best;
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
};

void Print(const Row& r) {
  std::printf("%-44s %8u %10u %9.1f %8.1f %7.1fx", r.road.c_str(), r.result, r.payload,
              r.seconds * 1e3, r.rc4 * 1e3, r.rc4 > 0 ? r.seconds / r.rc4 : 0.0);
  if (r.peak_growth != 0 && r.payload != 0) {
    std::printf("   peak +%.1f MB = %.2fx payload", static_cast<double>(r.peak_growth) / 1e6,
                static_cast<double>(r.peak_growth) / r.payload);
  }
  std::printf("\n");
  std::fflush(stdout);
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
  WriteHashList(list15k, 15000);
  WriteHashList(list150k, 150000);
  std::printf("%s (best of %d)\n", title, runs);
  std::printf("%-44s %8s %10s %9s %8s %8s\n", "road", "result", "payload", "ms", "rc4 ms", "ratio");

  // Each run starts from no container: a stream is replaced only into blocks
  // no stream used before, and two 29 MiB lists do not fit into one file.
  auto best = [&](const std::function<uint32_t()>& run, uint32_t* result) {
    double b = 1e9;
    for (int i = 0; i < runs; ++i) {
      std::error_code ec;
      fs::remove(container, ec);
      const auto start = Clock::now();
      *result = run();
      b = std::min(b, Seconds(start));
    }
    return b;
  };
  auto finish = [&](Row row, uint32_t expected) {
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

  // The import a user meets most: a list replacing one of its own size. The
  // new stream fits only by reusing the older one's blocks, so the write goes
  // through the rollback journal. Each run starts from a container that holds
  // a 150,000-line list, written before the clock starts.
  if (wanted("over 150,000")) {
    Row over{"ImportProgramList 150,000 over 150,000"};
    over.seconds = 1e9;
    for (int i = 0; i < runs; ++i) {
      std::error_code ec;
      fs::remove(container, ec);
      if (roads.Import(container, list150k) != 150000) status = 1;
      const auto start = Clock::now();
      over.result = roads.Import(container, list150k);
      over.seconds = std::min(over.seconds, Seconds(start));
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
  WriteHashList(list, 150000);
  const fs::path container = dir / "Tool.mnf";
  const std::vector<std::string> import = {trustctl,   "import",      container.string(),
                                           "--stream", "ProgramList", list.string()};
  // The tool's whole run: start, read, build, check, write, and the reading
  // back of the container it confirms the write with. `over` first fills the
  // container with a list of the same size, outside the clock, so that the
  // write reuses its blocks through the journal.
  auto road = [&](const char* name, bool over) {
    Row row{name};
    row.seconds = 1e9;
    for (int i = 0; i < runs; ++i) {
      std::error_code ec;
      fs::remove(container, ec);
      double seconds = 0;
      uint64_t peak = 0;
      if (over && !RunChild(import, &seconds, &peak)) return false;
      if (!RunChild(import, &seconds, &peak)) return false;
      row.seconds = std::min(row.seconds, seconds);
      row.peak_growth = std::max(row.peak_growth, peak);
    }
    row.result = 150000;
    row.payload = StoredPayloadBytes(container);
    row.rc4 = Rc4PassSeconds(row.payload);
    std::printf(
        "%-44s %8s %10u %9.1f %8.1f %7.1fx   peak %.1f MB = %.2fx payload (whole process)\n",
        row.road.c_str(), "", row.payload, row.seconds * 1e3, row.rc4 * 1e3, row.seconds / row.rc4,
        static_cast<double>(row.peak_growth) / 1e6,
        static_cast<double>(row.peak_growth) / row.payload);
    std::fflush(stdout);
    return row.payload != 0;
  };
  if (!road("trustctl import 150,000 lines", false) ||
      !road("trustctl import 150,000 over 150,000", true)) {
    std::printf("%s: the tool failed\n", trustctl.c_str());
    return 1;
  }
  const auto print = [](const Row& r) {
    std::printf(
        "%-44s %8s %10u %9.1f %8.1f %7.1fx   peak %.1f MB = %.2fx payload (whole process)\n",
        r.road.c_str(), "", r.payload, r.seconds * 1e3, r.rc4 * 1e3, r.seconds / r.rc4,
        static_cast<double>(r.peak_growth) / 1e6, static_cast<double>(r.peak_growth) / r.payload);
    std::fflush(stdout);  // before the next child inherits the buffer
  };

  // The commands that read a whole list and write it out again, each over the
  // full container just made: they stream their output, so their memory
  // stays a small multiple of the payload and their time a few RC4 passes.
  const fs::path copy = dir / "Tool2.mnf";
  std::error_code ec;
  fs::copy_file(container, copy, fs::copy_options::overwrite_existing, ec);
  const std::vector<std::pair<std::string, std::vector<std::string>>> reads = {
      {"trustctl dump --json, full container", {trustctl, "dump", "--json", container.string()}},
      {"trustctl export, full container", {trustctl, "export", container.string()}},
      {"trustctl diff, two full containers", {trustctl, "diff", container.string(), copy.string()}},
  };
  for (const auto& [road, argv] : reads) {
    Row r{road};
    r.seconds = 1e9;
    r.payload = StoredPayloadBytes(container);
    for (int i = 0; i < runs; ++i) {
      double seconds = 0;
      uint64_t peak = 0;
      if (!RunChild(argv, &seconds, &peak)) {
        std::printf("%s: the tool failed\n", road.c_str());
        return 1;
      }
      r.seconds = std::min(r.seconds, seconds);
      r.peak_growth = std::max(r.peak_growth, peak);
    }
    r.rc4 = Rc4PassSeconds(r.payload);
    print(r);
  }
  return 0;
}

}  // namespace tl::bench
