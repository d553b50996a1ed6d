// The size/CRC fingerprint of a file: (size << 32) | CRC-32 of a sample of its
// bytes. The size is the low 32 bits of the real size, and the sample is taken
// by that size: below kFingerprintWholeFileLimit bytes the sample is the whole
// (32-bit) file; otherwise it is the first and the last kFingerprintPieceBytes
// bytes below that size, so at most 8192 bytes are read whatever the file's
// size. For a file of 4 GiB or more the "last" piece therefore lies where the
// 32-bit size ends, not at the real end. The same pair is what a hash list line
// holds. Every caller that fingerprints a file (the builder, trustctl's hash,
// test, lint and remove) takes it through SampledCrc, so they cannot disagree.
#pragma once

#include <cstdint>

namespace tl {

namespace platform {
class File;
}

inline constexpr uint32_t kFingerprintWholeFileLimit = 8192;
inline constexpr uint32_t kFingerprintPieceBytes = 4096;
// Error mode while a fingerprint is taken: no critical-error, fault or
// open-file dialog boxes.
inline constexpr unsigned kFingerprintErrorMode = 0x8003;

// Where the sampled bytes come from. ReadSample reads up to `len` bytes at
// `offset` into `buf` and returns the bytes it delivered (fewer at the end of
// the file or after an error; never more than `len`).
class SampleReader {
 public:
  virtual uint32_t ReadSample(uint32_t offset, uint8_t* buf, uint32_t len) = 0;

 protected:
  ~SampleReader() = default;
};

// CRC-32 of the sample of a file whose size (low 32 bits) is `size`: the
// whole file below the limit, else the first piece and the piece that ends at
// `size`. The second piece is placed directly behind what the first read
// delivered, and the CRC covers exactly the bytes delivered: a short read
// shortens the sample.
uint32_t SampledCrc(SampleReader& reader, uint32_t size);

// SampledCrc over an open file.
uint32_t SampledFileCrc(platform::File& file, uint32_t size);

// The fingerprint value: size in the high half, CRC in the low half.
constexpr uint64_t MakeFingerprint(uint32_t size, uint32_t crc) {
  return (static_cast<uint64_t>(size) << 32) | crc;
}

// The low 32 bits of a real file size: the size a fingerprint holds and
// samples by.
constexpr uint32_t FingerprintSizeOf(uint64_t real_size) {
  return static_cast<uint32_t>(real_size & 0xFFFFFFFFu);
}

// True for a file whose real size does not fit in 32 bits: its fingerprint
// holds and samples by the low 32 bits only, so it says little of the file.
constexpr bool FingerprintSizeWraps(uint64_t real_size) { return real_size > 0xFFFFFFFFu; }

// (size << 32) | SampledFileCrc for the file at `path`, opened for reading
// (shared for reading only) under kFingerprintErrorMode. 0 when the file cannot
// be opened; an empty file also gives 0.
uint64_t ComputeFileFingerprint(const char16_t* path);

}  // namespace tl
