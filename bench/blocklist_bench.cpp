// Filling a CVarBlockList with n distinct keys by AddBlock: the key index
// against the plain walk from the head. The walk baseline is a list whose
// IsEqualKey is replaced by an equivalent comparison, which makes the list
// bypass its index and walk for every lookup, as the list did before it had one.
//
// Target: 150,000 blocks in under 100 ms, at least 100x faster than the walk.
// The walk at 150,000 takes tens of seconds, so it runs once.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/zalloc.h"

namespace {

// The size of a record that the hash list import builds.
constexpr uint32_t kBlockSize = 200;

class WalkingList : public tl::CVarBlockList {
 public:
  int32_t IsEqualKey(uint64_t a, uint64_t b) override { return (a ^ b) == 0 ? 1 : 0; }
};

// Seconds per fill by (walking, n), from the last run of each benchmark; the
// ratios are printed once, after all benchmarks, when the program ends.
struct FillSummary {
  std::map<std::pair<bool, int64_t>, double> seconds;
  ~FillSummary() {
    for (const auto& [kind, walk] : seconds) {
      if (!kind.first) continue;
      auto indexed = seconds.find({false, kind.second});
      if (indexed == seconds.end() || indexed->second <= 0) continue;
      std::printf("fill %lld blocks: index %.2f ms, walk %.2f ms, walk/index = %.0fx\n",
                  static_cast<long long>(kind.second), indexed->second * 1e3, walk * 1e3,
                  walk / indexed->second);
    }
  }
};

std::map<std::pair<bool, int64_t>, double>& FillSeconds() {
  static FillSummary summary;
  return summary.seconds;
}

std::vector<void*> MakeBlocks(int64_t n) {
  std::vector<void*> blocks(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    void* b = tl::ZeroAlloc(kBlockSize);
    tl::StoreU32(b, tl::kBlockSizeOffset, kBlockSize);
    // Distinct 32-bit keys spread like name CRCs (odd multiplier: a bijection).
    tl::StoreU64(b, tl::kBlockKeyOffset, static_cast<uint32_t>(i * 0x9E3779B1u));
    blocks[static_cast<size_t>(i)] = b;
  }
  return blocks;
}

template <class List>
void Fill(benchmark::State& state) {
  const int64_t n = state.range(0);
  double total = 0;
  double cpu = 0;  // the machine may be shared: CPU time of the fill alone
  for (auto _ : state) {
    auto* list = new List;
    std::vector<void*> blocks = MakeBlocks(n);
    const std::clock_t cpu_start = std::clock();
    const auto start = std::chrono::steady_clock::now();
    for (void* b : blocks) list->AddBlock(b);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    cpu += static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    state.SetIterationTime(took.count());
    total += took.count();
    if (list->GetCount() != static_cast<uint32_t>(n)) state.SkipWithError("count");
    delete list;
  }
  const bool walking = std::is_same_v<List, WalkingList>;
  const double per_fill = total / static_cast<double>(state.iterations());
  FillSeconds()[{walking, n}] = per_fill;
  state.counters["blocks"] = static_cast<double>(n);
  state.counters["ns_per_add"] = per_fill * 1e9 / static_cast<double>(n);
  state.counters["fill_cpu_ms"] = cpu * 1e3 / static_cast<double>(state.iterations());
  if (walking) {
    auto indexed = FillSeconds().find({false, n});
    if (indexed != FillSeconds().end() && indexed->second > 0) {
      state.counters["walk_over_index"] = per_fill / indexed->second;
    }
  }
}

// The indexed fills run first so that the walk can report the ratio.
BENCHMARK(Fill<tl::CVarBlockList>)
    ->Name("FillIndexed")
    ->Arg(15000)
    ->Arg(150000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Fill<WalkingList>)
    ->Name("FillWalk")
    ->Arg(15000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Fill<WalkingList>)
    ->Name("FillWalk")
    ->Arg(150000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
