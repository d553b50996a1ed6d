#include "common/crc32.h"

#include <array>

namespace tl {
namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

// Table 0 is the usual byte table; table k advances a byte that is followed by
// k more bytes, so that eight bytes are folded with eight independent lookups
// ("slicing by 8") instead of a chain of eight dependent ones.
constexpr Tables MakeTables() {
  Tables t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][n] = c;
  }
  for (uint32_t n = 0; n < 256; ++n) {
    for (size_t k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFFu];
  }
  return t;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables[0][1] == 0x77073096u, "CRC-32 table must use the reflected IEEE polynomial");

}  // namespace

uint32_t Crc32Update(uint32_t state, const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  // Bytes are combined one by one (no word loads), so the result does not
  // depend on the host's byte order or on alignment.
  for (; len >= 8; len -= 8, p += 8) {
    const uint32_t lo = state ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                 uint32_t{p[3]} << 24);
    state = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^
            kTables[5][(lo >> 16) & 0xFFu] ^ kTables[4][lo >> 24] ^ kTables[3][p[4]] ^
            kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
  }
  for (size_t i = 0; i < len; ++i) state = kTables[0][(state ^ p[i]) & 0xFFu] ^ (state >> 8);
  return state;
}

uint32_t Crc32(const void* data, size_t len) {
  return Crc32Final(Crc32Update(kCrc32Init, data, len));
}

}  // namespace tl
