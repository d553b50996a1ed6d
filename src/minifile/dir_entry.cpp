#include "minifile/dir_entry.h"

#include "common/le.h"
#include "common/u16.h"

namespace tl {

uint32_t DirEntryNameLength(const uint8_t* entry) {
  uint32_t n = 0;
  while (n < kDirEntryNameUnits && LoadU16(entry, kDirEntryNameOffset + 2 * n) != 0) ++n;
  return n;
}

bool DirEntryNameEquals(const uint8_t* entry, const char16_t* name, uint32_t len) {
  if (len > kDirEntryMaxNameUnits || DirEntryNameLength(entry) != len) return false;
  for (uint32_t k = 0; k < len; ++k) {
    const auto stored = static_cast<char16_t>(LoadU16(entry, kDirEntryNameOffset + 2 * k));
    if (U16FoldAscii(stored) != U16FoldAscii(name[k])) return false;
  }
  return true;
}

}  // namespace tl
