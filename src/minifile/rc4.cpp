#include "minifile/rc4.h"

namespace tl {

void Rc4SetKey(Rc4State* state, const uint8_t key[8]) {
  for (uint32_t k = 0; k < 256; ++k) state->S[k] = k;
  state->i = 0;
  state->j = 0;
  uint32_t m = 0;
  for (uint32_t k = 0; k < 256; ++k) {
    m = (m + state->S[k] + key[k % 8]) & 0xFF;
    const uint32_t t = state->S[k];
    state->S[k] = state->S[m];
    state->S[m] = t;
  }
}

void Rc4Crypt(Rc4State* state, uint32_t count, const void* input, void* output) {
  // Indices live in locals so the loop keeps them in registers.
  uint32_t i = state->i;
  uint32_t j = state->j;
  uint32_t* S = state->S;
  const auto* in = static_cast<const uint8_t*>(input);
  auto* out = static_cast<uint8_t*>(output);
  for (uint32_t n = 0; n < count; ++n) {
    i = (i + 1) & 0xFF;
    const uint32_t si = S[i];
    j = (j + si) & 0xFF;
    const uint32_t sj = S[j];
    S[i] = sj;
    S[j] = si;
    out[n] = static_cast<uint8_t>(in[n] ^ S[(si + sj) & 0xFF]);
  }
  state->i = i;
  state->j = j;
}

}  // namespace tl
