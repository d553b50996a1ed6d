// One 64-byte directory entry (MiniFileDirEntry), little-endian:
//   OFFSET  SIZE  CONTENT
//        0    34  name: 17 UTF-16LE code units, at most 16 used, zero-filled;
//                 the 17th is always 0; a first unit of 0 marks a free slot
//       34     4  stream size in bytes (deliberately unaligned)
//       38     2  first block index
//       40     8  UTC FILETIME of the write
//       48     2  flags: 0x80 = stream present, other bits 0
//       50    14  reserved, 0
#pragma once

#include <cstddef>
#include <cstdint>

namespace tl {

inline constexpr uint32_t kDirEntrySize = 64;
inline constexpr uint32_t kDirEntryNameOffset = 0;
inline constexpr uint32_t kDirEntryNameUnits = 17;
inline constexpr uint32_t kDirEntryMaxNameUnits = 16;
inline constexpr uint32_t kDirEntrySizeOffset = 34;
inline constexpr uint32_t kDirEntryFirstBlockOffset = 38;
inline constexpr uint32_t kDirEntryTimeOffset = 40;
inline constexpr uint32_t kDirEntryFlagsOffset = 48;
inline constexpr uint32_t kDirEntryReservedOffset = 50;
inline constexpr uint32_t kDirEntryReservedSize = 14;
inline constexpr uint8_t kDirFlagPresent = 0x80;

static_assert(kDirEntryNameOffset + 2 * kDirEntryNameUnits == kDirEntrySizeOffset);
static_assert(kDirEntrySizeOffset + 4 == kDirEntryFirstBlockOffset);
static_assert(kDirEntryFirstBlockOffset + 2 == kDirEntryTimeOffset);
static_assert(kDirEntryTimeOffset + 8 == kDirEntryFlagsOffset);
static_assert(kDirEntryFlagsOffset + 2 == kDirEntryReservedOffset);
static_assert(kDirEntryReservedOffset + kDirEntryReservedSize == kDirEntrySize);

// Code units of an entry's name before its first zero, at most 17 (17 means the
// name has no terminating zero).
uint32_t DirEntryNameLength(const uint8_t* entry);

// True when the entry's stored name equals `name` (`len` units, no terminator
// needed), folding only 'A'-'Z' onto 'a'-'z'.
bool DirEntryNameEquals(const uint8_t* entry, const char16_t* name, uint32_t len);

// True when the stream-present bit is set.
inline bool DirEntryPresent(const uint8_t* entry) {
  return (entry[kDirEntryFlagsOffset] & kDirFlagPresent) != 0;
}

}  // namespace tl
