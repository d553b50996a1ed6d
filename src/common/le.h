// Little-endian load/store at byte offsets. Every on-disk and cross-boundary
// integer goes through these, never through struct punning over file bytes.
#pragma once

#include <cstdint>
#include <cstring>

namespace tl {

inline uint16_t LoadU16(const void* base, size_t offset = 0) {
  const auto* p = static_cast<const uint8_t*>(base) + offset;
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t LoadU32(const void* base, size_t offset = 0) {
  const auto* p = static_cast<const uint8_t*>(base) + offset;
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadU64(const void* base, size_t offset = 0) {
  return static_cast<uint64_t>(LoadU32(base, offset)) |
         (static_cast<uint64_t>(LoadU32(base, offset + 4)) << 32);
}
inline void StoreU16(void* base, size_t offset, uint16_t v) {
  auto* p = static_cast<uint8_t*>(base) + offset;
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreU32(void* base, size_t offset, uint32_t v) {
  auto* p = static_cast<uint8_t*>(base) + offset;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void StoreU64(void* base, size_t offset, uint64_t v) {
  StoreU32(base, offset, static_cast<uint32_t>(v));
  StoreU32(base, offset + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace tl
