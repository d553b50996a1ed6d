#include "fingerprint/file_fingerprint.h"

#include <cstdint>

#include "common/crc32.h"
#include "platform/file.h"
#include "platform/system.h"

namespace tl {
namespace {

// Bytes delivered by one read, never more than asked even if a backend says so.
uint32_t ReadDelivered(platform::File& file, uint32_t offset, uint8_t* buf, uint32_t len) {
  uint32_t done = 0;
  file.ReadAt(offset, buf, len, &done);
  return done > len ? len : done;
}

}  // namespace

uint32_t SampledFileCrc(platform::File& file, uint32_t size) {
  // The sample lives on the stack: at most 8192 bytes, and no allocation that
  // could fail and leave a fingerprint without its CRC.
  uint8_t sample[kFingerprintWholeFileLimit] = {};
  uint32_t got = 0;
  if (size < kFingerprintWholeFileLimit) {
    got = ReadDelivered(file, 0, sample, size);
  } else {
    got = ReadDelivered(file, 0, sample, kFingerprintPieceBytes);
    got += ReadDelivered(file, size - kFingerprintPieceBytes, sample + got, kFingerprintPieceBytes);
  }
  return Crc32(sample, got);
}

uint64_t ComputeFileFingerprint(const char16_t* path) {
  if (path == nullptr) return 0;
  platform::ErrorModeScope mode(kFingerprintErrorMode);
  std::unique_ptr<platform::File> file = platform::OpenFileForReading(path);
  if (!file) return 0;
  uint32_t size = 0;
  if (!file->Size(&size)) size = 0;
  const uint32_t crc = SampledFileCrc(*file, size);
  return (static_cast<uint64_t>(size) << 32) | crc;
}

}  // namespace tl
