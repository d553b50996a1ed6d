// A bit-at-a-time CRC-32 (reflected 0xEDB88320, init and final complement),
// independent of the library's table, for checking its results in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tl::test {

inline uint32_t ReferenceCrc32(const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < len; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// The name key computed the slow way: fold 'A'..'Z', lay out UTF-16LE, CRC.
inline uint32_t ReferenceNameKey(const std::u16string& name) {
  std::string bytes;
  for (char16_t c : name) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return name.empty() ? 0 : ReferenceCrc32(bytes.data(), bytes.size());
}

}  // namespace tl::test
