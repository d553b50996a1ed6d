// Helpers shared by the container tests: in-memory containers made with chosen
// parameters, and their bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "minifile/container_reader.h"
#include "minifile/creation_parameters.h"
#include "minifile/memory_file.h"
#include "minifile/memory_journal.h"
#include "minifile/minifile.h"
#include "support/fault_file.h"

namespace tl::test {

// Sets the creation parameters for one test and restores the previous ones.
class ParamsScope {
 public:
  ParamsScope(uint32_t block_size, uint32_t table_entries, uint32_t dir_entries, uint32_t pad = 0)
      : saved_(GetCreationParameters()) {
    CreationParameters p{20, block_size, table_entries, dir_entries, pad};
    SetCreationParameters(&p);
  }
  ~ParamsScope() { SetCreationParameters(&saved_); }

 private:
  CreationParameters saved_;
};

inline std::vector<uint8_t> Bytes(const MemoryFile& f) {
  return std::vector<uint8_t>(f.data(), f.data() + f.size());
}

inline std::vector<uint8_t> Pattern(uint32_t size, uint32_t seed) {
  std::vector<uint8_t> v(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

// Writes `data` as stream `name` into the container held by `file`, with a
// journal in memory for the time of the write.
inline uint32_t WriteStream(MemoryFile* file, const char16_t* name,
                            const std::vector<uint8_t>& data) {
  MiniFileHandle* h = MiniFileOpenFile(Borrow(file), std::make_unique<MemoryJournalSite>());
  if (h == nullptr) return 0;
  const uint32_t r = MiniFileWriteStream(h, name, data.data(), static_cast<uint32_t>(data.size()));
  MiniFileClose(h);
  return r;
}

// The stream `name` read back through the checked reader; empty when missing
// or damaged.
inline std::vector<uint8_t> ReadBack(const std::vector<uint8_t>& container, const char16_t* name) {
  ContainerReader r;
  std::vector<uint8_t> out;
  if (!r.OpenBytes(container.data(), container.size())) return out;
  const int e = r.FindStream(name);
  if (e < 0 || r.ReadStream(static_cast<uint32_t>(e), &out) != Defect::kNone) out.clear();
  return out;
}

inline std::vector<std::string> DefectNames(const std::vector<Finding>& found) {
  std::vector<std::string> names;
  for (const Finding& f : found) names.push_back(DefectName(f.defect));
  return names;
}

}  // namespace tl::test
