// The link time stamp of an executable: the TimeDateStamp of the COFF file
// header behind the PE signature. Only the few header bytes are looked at.
//
//   OFFSET          SIZE  CONTENT (of the file)
//   0               2     'M' 'Z'
//   60              4     e_lfanew: signed offset of the PE signature
//   e_lfanew        4     'P' 'E' 0 0
//   e_lfanew + 8    4     TimeDateStamp (u32)
#pragma once

#include <cstddef>
#include <cstdint>

namespace tl {

inline constexpr size_t kMzSignatureOffset = 0;
inline constexpr uint16_t kMzSignature = 0x5A4D;  // 'M' 'Z'
inline constexpr size_t kPeHeaderPointerOffset = 60;
inline constexpr uint32_t kPeSignature = 0x00004550;  // 'P' 'E' 0 0
inline constexpr size_t kPeTimeStampDelta = 8;

// Finds the stamp in the `size` bytes of a file image. Every read is checked
// against `size`. Returns false, leaving *stamp alone, when the bytes are not an
// MZ image whose header offset (0 <= offset < size) leads to a PE signature
// with the stamp inside the image.
bool FindLinkTimeStamp(const uint8_t* image, uint32_t size, uint32_t* stamp);

// 1 when the file at `path` is an executable with a PE header; then its stamp
// is stored in *stamp when `stamp` is not null. 0 otherwise (the file cannot be
// opened or mapped, or the headers are missing or lie outside the file), with
// *stamp untouched. The file is mapped read-only, opened shared for reading.
int ReadLinkTimeStamp(const char16_t* path, uint32_t* stamp);

}  // namespace tl
