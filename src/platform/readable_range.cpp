// The range form of the readability probe, over each backend's ReadableBytes.
#include <cstdint>

#include "platform/system.h"

namespace tl::platform {

bool IsReadableRange(const void* p, size_t len) {
  const auto addr = reinterpret_cast<uintptr_t>(p);
  if (len == 0 || addr + len < addr) return false;
  return ReadableBytes(p, len) == len;
}

}  // namespace tl::platform
