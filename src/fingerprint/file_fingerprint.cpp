#include "fingerprint/file_fingerprint.h"

#include <cstdint>

#include "common/crc32.h"
#include "platform/file.h"
#include "platform/system.h"

namespace tl {
namespace {

// Bytes delivered by one read, never more than asked even if a source says so.
uint32_t ReadDelivered(SampleReader& reader, uint32_t offset, uint8_t* buf, uint32_t len) {
  const uint32_t done = reader.ReadSample(offset, buf, len);
  return done > len ? len : done;
}

// An open file as a sample source: read errors only shorten the sample.
class FileSampleReader final : public SampleReader {
 public:
  explicit FileSampleReader(platform::File& file) : file_(file) {}
  uint32_t ReadSample(uint32_t offset, uint8_t* buf, uint32_t len) override {
    uint32_t done = 0;
    file_.ReadAt(offset, buf, len, &done);
    return done;
  }

 private:
  platform::File& file_;
};

}  // namespace

uint32_t SampledCrc(SampleReader& reader, uint32_t size) {
  // The sample lives on the stack: at most 8192 bytes, and no allocation that
  // could fail and leave a fingerprint without its CRC.
  uint8_t sample[kFingerprintWholeFileLimit] = {};
  uint32_t got = 0;
  if (size < kFingerprintWholeFileLimit) {
    got = ReadDelivered(reader, 0, sample, size);
  } else {
    got = ReadDelivered(reader, 0, sample, kFingerprintPieceBytes);
    got +=
        ReadDelivered(reader, size - kFingerprintPieceBytes, sample + got, kFingerprintPieceBytes);
  }
  return Crc32(sample, got);
}

uint32_t SampledFileCrc(platform::File& file, uint32_t size) {
  FileSampleReader reader(file);
  return SampledCrc(reader, size);
}

uint64_t ComputeFileFingerprint(const char16_t* path) {
  if (path == nullptr) return 0;
  platform::ErrorModeScope mode(kFingerprintErrorMode);
  std::unique_ptr<platform::File> file = platform::OpenFileForReading(path);
  if (!file) return 0;
  uint32_t size = 0;
  if (!file->Size(&size)) size = 0;
  return MakeFingerprint(size, SampledFileCrc(*file, size));
}

}  // namespace tl
