#include "minifile/creation_parameters.h"

#include <cstring>
#include <mutex>

namespace tl {
namespace {

std::mutex g_mutex;
CreationParameters g_params = kDefaultCreationParameters;

void Normalize(CreationParameters* p) {
  // +17, not +15: 15 becomes 32. Kept so containers made from the same record
  // get the same table size as ever.
  if (p->tableEntries < 16 || (p->tableEntries & 15) != 0) {
    p->tableEntries = (p->tableEntries + 17) & ~15u;
  }
  if (p->blockSize < 512 || (p->blockSize & 511) != 0) {
    p->blockSize = (p->blockSize + 511) & ~511u;
    if (p->blockSize == 0) p->blockSize = 512;
  }
  if (p->directoryEntries == 0) p->directoryEntries = 1;
}

}  // namespace

void SetCreationParameters(const CreationParameters* r) {
  if (r == nullptr) return;
  uint32_t count = 0;
  std::memcpy(&count, r, sizeof count);
  if (count > sizeof(CreationParameters)) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  std::memcpy(&g_params, r, count);
  Normalize(&g_params);
}

CreationParameters NormalizedCreationParameters(CreationParameters p) {
  Normalize(&p);
  return p;
}

CreationParameters GetCreationParameters() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_params;
}

}  // namespace tl
