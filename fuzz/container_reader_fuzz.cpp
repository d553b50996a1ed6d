// The checked reader over arbitrary bytes: opening, verifying and reading every
// listed stream must end with a result, never a crash, a hang or a huge
// allocation.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "minifile/container_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tl::ContainerReader reader;
  if (!reader.OpenBytes(data, size)) return 0;
  const auto found = reader.Verify();
  for (const tl::Finding& f : found) {
    if (tl::DefectName(f.defect)[0] == '\0') __builtin_trap();
  }
  std::vector<uint8_t> out;
  for (const tl::DirEntryInfo& e : reader.entries()) {
    const tl::Defect d = reader.ReadStream(e.index, &out);
    // A stream read back whole has exactly its recorded size.
    if (d == tl::Defect::kNone && out.size() != e.size) __builtin_trap();
    if (d != tl::Defect::kNone && !out.empty()) __builtin_trap();
  }
  return 0;
}
