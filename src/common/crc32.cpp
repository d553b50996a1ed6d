#include "common/crc32.h"

#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TL_CRC32_CLMUL 1
#endif

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

uint32_t TableUpdate(uint32_t state, const uint8_t* p, size_t len);

#if TL_CRC32_CLMUL
// The same CRC by carry-less multiplication, for x86-64 processors that have
// it: four 16-byte lanes are folded 64 bytes at a time, then into one lane,
// which a Barrett reduction brings to 32 bits (the folding of Intel's "Fast
// CRC Computation for Generic Polynomials Using PCLMULQDQ", with its
// constants for the reflected polynomial). Takes and gives the running state;
// `len` is at least 64 and a multiple of 16. The journal checks a full
// container's blocks with it, where the table's speed was felt.
#define TL_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

TL_CLMUL_TARGET inline __m128i Load(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x folded 128 bits forward by k, plus the lane that follows.
TL_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

TL_CLMUL_TARGET uint32_t ClmulUpdate(uint32_t state, const uint8_t* p, size_t len) {
  alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};
  __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i x2 = Load(p + 16);
  __m128i x3 = Load(p + 32);
  __m128i x4 = Load(p + 48);
  p += 64;
  len -= 64;
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  for (; len >= 64; p += 64, len -= 64) {
    x1 = Fold(x1, k, Load(p));
    x2 = Fold(x2, k, Load(p + 16));
    x3 = Fold(x3, k, Load(p + 32));
    x4 = Fold(x4, k, Load(p + 48));
  }
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = Fold(x1, k, x2);
  x1 = Fold(x1, k, x3);
  x1 = Fold(x1, k, x4);
  for (; len >= 16; p += 16, len -= 16) x1 = Fold(x1, k, Load(p));

  // 128 bits to 64, then Barrett's reduction to 32.
  const __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
  x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x00), x2);
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask), k, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x2), 1));
}

bool HaveClmul() {
  static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return have;
}
#endif

}  // namespace

uint32_t Crc32Update(uint32_t state, const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
#if TL_CRC32_CLMUL
  if (len >= 64 && HaveClmul()) {
    const size_t folded = len & ~size_t{15};
    state = ClmulUpdate(state, p, folded);
    p += folded;
    len -= folded;
  }
#endif
  return TableUpdate(state, p, len);
}

namespace {

uint32_t TableUpdate(uint32_t state, const uint8_t* p, size_t len) {
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

}  // namespace

uint32_t Crc32(const void* data, size_t len) {
  return Crc32Final(Crc32Update(kCrc32Init, data, len));
}

}  // namespace tl
