// The pseudo-random generator behind new header keys: one state per process,
// a linear congruential generator state = state * 214013 + 2531011 (mod 2^32),
// each draw bits 16..30 of the new state (0..32767). The state is 1 until
// seeded. Guarded by a mutex, so threads drawing at once never share a draw.
#pragma once

#include <cstdint>

namespace tl {

// Sets the generator's state (the library's attach seeds it with the process id).
void SeedKeyGenerator(uint32_t seed);

// Fills `out[0..count)` with the low 8 bits of successive draws. The first call
// in a process (while the recorded seed value is 0) first seeds the generator
// with the low 32 bits of the current UTC FILETIME and records that seed value.
void DrawKeyBytes(uint8_t* out, uint32_t count);

// The seed value recorded by the first header made in the process (0 before).
uint32_t KeyGeneratorSeedValue();

}  // namespace tl
