// CRC-32 (IEEE 802.3): reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF,
// final complement. One table-driven implementation serves the name key, the
// container header check and the file fingerprint.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tl {

// CRC-32 of `len` bytes at `data`. An empty range gives 0.
uint32_t Crc32(const void* data, size_t len);

// Incremental form: start with kCrc32Init, feed pieces, finish with Crc32Final.
inline constexpr uint32_t kCrc32Init = 0xFFFFFFFFu;
uint32_t Crc32Update(uint32_t state, const void* data, size_t len);
inline constexpr uint32_t Crc32Final(uint32_t state) { return ~state; }

}  // namespace tl
