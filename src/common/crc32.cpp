#include "common/crc32.h"

#include <array>

namespace tl {
namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x77073096u, "CRC-32 table must use the reflected IEEE polynomial");

}  // namespace

uint32_t Crc32Update(uint32_t state, const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < len; ++i) state = kTable[(state ^ p[i]) & 0xFFu] ^ (state >> 8);
  return state;
}

uint32_t Crc32(const void* data, size_t len) {
  return Crc32Final(Crc32Update(kCrc32Init, data, len));
}

}  // namespace tl
