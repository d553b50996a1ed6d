// Stream write cost against the cipher alone. The write of a 29 MiB stream into
// a container with the commit's parameters (1 MiB blocks, 32 entries, 4
// directory entries) should cost little more than scrambling it; a replacement
// that must reuse the older stream's blocks also pays for its journal.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "entry/list_store.h"
#include "minifile/creation_parameters.h"
#include "minifile/memory_file.h"
#include "minifile/memory_journal.h"
#include "minifile/minifile.h"
#include "minifile/rc4.h"
#include "platform/file.h"

namespace {

constexpr uint32_t kStreamSize = 29u << 20;

std::vector<uint8_t> Payload() {
  std::vector<uint8_t> v(kStreamSize);
  for (size_t k = 0; k < v.size(); ++k) v[k] = static_cast<uint8_t>(k * 131 + (k >> 9));
  return v;
}

void BM_Rc4Crypt(benchmark::State& state) {
  const std::vector<uint8_t> in = Payload();
  std::vector<uint8_t> out(in.size());
  const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  tl::Rc4State rc4;
  for (auto _ : state) {
    tl::Rc4SetKey(&rc4, key);
    tl::Rc4Crypt(&rc4, kStreamSize, in.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kStreamSize);
}
BENCHMARK(BM_Rc4Crypt)->Unit(benchmark::kMillisecond);

// One full replacement of a 29 MiB stream per iteration, then the handle is
// closed. The container has 30 blocks. With `reuse`, the stream replaced is
// 29 MiB itself: only one block is free, so 28 of the older stream's blocks
// are reused and their original bytes go to the rollback journal first. Without,
// the stream replaced is one byte long (rewritten before each iteration,
// outside the timing): the 29 blocks free before the write take the new stream,
// and no journal is made.
void ReplaceStreamRepeatedly(benchmark::State& state, tl::MiniFileHandle* h,
                             const std::vector<uint8_t>& data) {
  const bool reuse = state.range(0) != 0;
  if (tl::MiniFileWriteStream(h, u"ProgramList", data.data(), kStreamSize) != kStreamSize) {
    state.SkipWithError("first write failed");
  }
  for (auto _ : state) {
    if (!reuse) {
      state.PauseTiming();
      const bool small = tl::MiniFileWriteStream(h, u"ProgramList", data.data(), 1) == 1;
      state.ResumeTiming();
      if (!small) {
        state.SkipWithError("small write failed");
        break;
      }
    }
    if (tl::MiniFileWriteStream(h, u"ProgramList", data.data(), kStreamSize) != kStreamSize) {
      state.SkipWithError("write failed");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kStreamSize);
}

// Into an in-memory file and journal: the writer's own cost (cipher, block
// handling, journal, one table and directory write) without the disk.
void BM_WriteStreamMemory(benchmark::State& state) {
  const std::vector<uint8_t> data = Payload();
  tl::MemoryJournalSite journal;
  tl::MiniFileHandle* h =
      tl::MiniFileOpenWith(std::make_unique<tl::MemoryFile>(), tl::BorrowJournalSite(&journal),
                           &tl::kCommitCreationParameters);
  if (h == nullptr) {
    state.SkipWithError("open failed");
    return;
  }
  ReplaceStreamRepeatedly(state, h, data);
  tl::MiniFileClose(h);
}
BENCHMARK(BM_WriteStreamMemory)->ArgName("reuse")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Into a real file, flushes included: what a commit pays.
void BM_WriteStreamFile(benchmark::State& state) {
  const std::vector<uint8_t> data = Payload();
  const auto path = std::filesystem::temp_directory_path() / "tl-minifile-bench.mnf";
  std::filesystem::remove(path);
  // Opened as every writer opens a container: the list store's open.
  tl::ListStore store;
  tl::MiniFileHandle* h =
      store.Open(path.u16string().c_str(), tl::kCommitCreationParameters) == tl::StoreStatus::kOk
          ? store.handle()
          : nullptr;
  if (h == nullptr) {
    state.SkipWithError("open failed");
    return;
  }
  ReplaceStreamRepeatedly(state, h, data);
  store.Close();
  std::filesystem::remove(path);
}
BENCHMARK(BM_WriteStreamFile)->ArgName("reuse")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
