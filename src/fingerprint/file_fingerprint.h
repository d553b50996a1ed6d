// The size/CRC fingerprint of a file: (size << 32) | CRC-32 of a sample of its
// bytes. Below kFingerprintWholeFileLimit bytes the sample is the whole file;
// otherwise it is the first and the last kFingerprintPieceBytes bytes, so at most
// 8192 bytes are read whatever the file's size. The same pair is what a hash list
// line holds.
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

// CRC-32 of the sample of an open file whose size (low 32 bits) is `size`. The
// second piece is placed directly behind what the first read delivered, and the
// CRC covers exactly the bytes delivered: a short read shortens the sample.
uint32_t SampledFileCrc(platform::File& file, uint32_t size);

// (size << 32) | SampledFileCrc for the file at `path`, opened for reading
// (shared for reading only) under kFingerprintErrorMode. 0 when the file cannot
// be opened; an empty file also gives 0.
uint64_t ComputeFileFingerprint(const char16_t* path);

}  // namespace tl
