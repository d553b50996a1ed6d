// RC4, the published stream cipher, with the 8-byte key of a container. No
// keystream bytes are dropped.
#pragma once

#include <cstdint>

namespace tl {

struct Rc4State {
  uint32_t i;
  uint32_t j;
  uint32_t S[256];  // the permutation; each entry 0..255
};

// Key scheduling over `key[0..7]`; i = j = 0.
void Rc4SetKey(Rc4State* state, const uint8_t key[8]);

// XORs `count` bytes of `input` with the next keystream bytes into `output`
// (which may equal `input`); the state continues where the keystream stopped.
void Rc4Crypt(Rc4State* state, uint32_t count, const void* input, void* output);

}  // namespace tl
