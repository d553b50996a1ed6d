// Stream write cost against the cipher alone. The write of a 29 MiB stream into
// a container with the commit's parameters (1 MiB blocks, 32 entries, 4
// directory entries) should cost little more than scrambling it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "minifile/creation_parameters.h"
#include "minifile/memory_file.h"
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

void SetCommitParameters() {
  tl::CreationParameters p{20, 0x100000, 32, 4, 0};
  tl::SetCreationParameters(&p);
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

// Replaces the stream once per iteration, then closes the handle. 29 + 29
// blocks exceed the 30 of the container, so each replace falls back on the
// older stream's blocks.
void ReplaceStreamRepeatedly(benchmark::State& state, tl::MiniFileHandle* h,
                             const std::vector<uint8_t>& data) {
  for (auto _ : state) {
    if (tl::MiniFileWriteStream(h, u"ProgramList", data.data(), kStreamSize) != kStreamSize) {
      state.SkipWithError("write failed");
      break;
    }
  }
  tl::MiniFileClose(h);
  state.SetBytesProcessed(int64_t(state.iterations()) * kStreamSize);
}

// Into an in-memory file: the writer's own cost (cipher, block handling, one
// table and directory write) without the disk.
void BM_WriteStreamMemory(benchmark::State& state) {
  SetCommitParameters();
  const std::vector<uint8_t> data = Payload();
  auto file = std::make_unique<tl::MemoryFile>();
  tl::MiniFileHandle* h = tl::MiniFileOpenFile(std::move(file));
  if (h == nullptr) {
    state.SkipWithError("open failed");
    return;
  }
  ReplaceStreamRepeatedly(state, h, data);
}
BENCHMARK(BM_WriteStreamMemory)->Unit(benchmark::kMillisecond);

// Into a real file, flushes included: what a commit pays.
void BM_WriteStreamFile(benchmark::State& state) {
  SetCommitParameters();
  const std::vector<uint8_t> data = Payload();
  const auto path = std::filesystem::temp_directory_path() / "tl-minifile-bench.mnf";
  std::filesystem::remove(path);
  tl::MiniFileHandle* h = tl::MiniFileOpen(path.u16string().c_str());
  if (h == nullptr) {
    state.SkipWithError("open failed");
    return;
  }
  ReplaceStreamRepeatedly(state, h, data);
  std::filesystem::remove(path);
}
BENCHMARK(BM_WriteStreamFile)->Unit(benchmark::kMillisecond);

}  // namespace
