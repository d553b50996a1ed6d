#include "minifile/key_generator.h"

#include <mutex>

#include "platform/system.h"

namespace tl {
namespace {

std::mutex g_mutex;
uint32_t g_state = 1;
uint32_t g_seed_value = 0;  // set by the first header made in the process

uint32_t Draw() {
  g_state = g_state * 214013u + 2531011u;
  return (g_state >> 16) & 0x7FFF;
}

}  // namespace

void SeedKeyGenerator(uint32_t seed) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state = seed;
}

void DrawKeyBytes(uint8_t* out, uint32_t count) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (uint32_t k = 0; k < count; ++k) {
    if (g_seed_value == 0) {
      g_seed_value = static_cast<uint32_t>(platform::UtcNowFileTime());
      g_state = g_seed_value;
    }
    out[k] = static_cast<uint8_t>(Draw());
  }
}

uint32_t KeyGeneratorSeedValue() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_seed_value;
}

}  // namespace tl
