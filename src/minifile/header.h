// The 128-byte container header, the allocation table links and the geometry
// that the header implies.
//
// MiniFileHeader (all integers little-endian):
//   OFFSET  SIZE  CONTENT
//        0     4  magic 'ZeVK' = 0x5A65564B
//        4     4  version: 0x10000 when made; accepted when at most 0x10000
//        8     4  reserved, 0
//       12     4  reserved, 0 (written explicitly when made)
//       16    16  text "MiniFile Library", no terminator
//       32    16  key bytes; bytes 32..39 are the RC4 key of every stream
//       48     4  table entry count T (3..65535)
//       52     4  block size B (> 0)
//       56     4  directory entry count D (> 0)
//       60    52  reserved, 0
//      112     4  CRC-32 over bytes 0..111
//      116    12  reserved, 0
//
// File layout that follows:
//   OFFSET              SIZE          CONTENT
//   0                   128           header
//   128                 2*T           allocation table, T u16 links
//   128+2*T             64*D          directory, D entries (dir_entry.h)
//   128+2*T+64*D        (T-2)*B       data area; block j (2 <= j < T) at data + (j-2)*B
// A file is only as long as what has been written into it; missing table and
// directory bytes read as zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "minifile/creation_parameters.h"

namespace tl {

inline constexpr uint32_t kHeaderSize = 128;
inline constexpr uint32_t kHeaderMagicOffset = 0;
inline constexpr uint32_t kHeaderVersionOffset = 4;
inline constexpr uint32_t kHeaderReserved8Offset = 8;
inline constexpr uint32_t kHeaderReserved12Offset = 12;
inline constexpr uint32_t kHeaderTextOffset = 16;
inline constexpr uint32_t kHeaderTextSize = 16;
inline constexpr uint32_t kHeaderKeyOffset = 32;
inline constexpr uint32_t kHeaderKeySize = 16;
inline constexpr uint32_t kHeaderTableEntriesOffset = 48;
inline constexpr uint32_t kHeaderBlockSizeOffset = 52;
inline constexpr uint32_t kHeaderDirEntriesOffset = 56;
inline constexpr uint32_t kHeaderReserved60Offset = 60;
inline constexpr uint32_t kHeaderReserved60Size = 52;
inline constexpr uint32_t kHeaderCrcOffset = 112;
inline constexpr uint32_t kHeaderReserved116Offset = 116;
inline constexpr uint32_t kHeaderReserved116Size = 12;

static_assert(kHeaderTextOffset + kHeaderTextSize == kHeaderKeyOffset);
static_assert(kHeaderKeyOffset + kHeaderKeySize == kHeaderTableEntriesOffset);
static_assert(kHeaderDirEntriesOffset + 4 == kHeaderReserved60Offset);
static_assert(kHeaderReserved60Offset + kHeaderReserved60Size == kHeaderCrcOffset);
static_assert(kHeaderCrcOffset + 4 == kHeaderReserved116Offset);
static_assert(kHeaderReserved116Offset + kHeaderReserved116Size == kHeaderSize);

inline constexpr uint32_t kHeaderMagic = 0x5A65564B;  // 'ZeVK'
inline constexpr uint32_t kHeaderVersion = 0x10000;
inline constexpr char kHeaderText[kHeaderTextSize + 1] = "MiniFile Library";
// The first 8 key bytes key RC4 for every stream of the file.
inline constexpr uint32_t kStreamKeySize = 8;

// Allocation table links.
inline constexpr uint32_t kTableOffset = kHeaderSize;
inline constexpr uint16_t kLinkFree = 0;
inline constexpr uint16_t kLinkEnd = 0xFFFF;       // last block of a chain; entry 0 holds it
inline constexpr uint16_t kLinkReserved = 0xFFFE;  // entry 1 holds it
inline constexpr uint16_t kFirstDataBlock = 2;
// Every byte of the container lies below 2 GiB: positions are 32-bit distances.
inline constexpr uint64_t kMaxContainerEnd = 0x80000000ull;

// Where the parts of a container lie, computed from a header that lies inside
// the format. `block_limit` is one past the highest usable block index: T, but
// never beyond 0xFFFE, whose link value is the reserved marker of entry 1.
struct Geometry {
  uint32_t block_size = 0;
  uint32_t table_entries = 0;
  uint32_t dir_entries = 0;
  uint32_t table_offset = kTableOffset;
  uint32_t dir_offset = 0;
  uint32_t data_offset = 0;
  uint32_t block_limit = 0;

  uint32_t table_bytes() const { return 2 * table_entries; }
  uint32_t dir_bytes() const { return 64 * dir_entries; }
  // File offset of data block j (kFirstDataBlock <= j < table_entries).
  uint32_t BlockOffset(uint32_t j) const {
    return data_offset + (j - kFirstDataBlock) * block_size;
  }
  // True when `link` names a data block of this container.
  bool IsDataBlock(uint32_t link) const { return link >= kFirstDataBlock && link < block_limit; }
};

// Fills `out` from a header whose counts lie inside the format: B > 0,
// 3 <= T <= 65535, D > 0, and the whole data area ending at or below 2 GiB
// (which keeps every size and offset inside 32 bits). False otherwise.
bool GeometryFromHeader(const uint8_t* header, Geometry* out);

// Fills a fresh 128-byte header from the creation parameters, with new key
// bytes drawn from the key generator.
void MiniFileInitHeader(uint8_t header[kHeaderSize]);
// The same from the given creation parameters (normalized first, as the
// process-wide record is) instead of the process-wide record.
void MiniFileInitHeaderWith(uint8_t header[kHeaderSize], const CreationParameters& parameters);

// 1 when the magic is 'ZeVK', the version at most 0x10000 and the CRC over
// bytes 0..111 matches the value at 112; else 0. Nothing else is examined.
int MiniFileCheckHeader(const uint8_t header[kHeaderSize]);

// CRC-32 of header bytes 0..111, the value stored at kHeaderCrcOffset.
uint32_t HeaderCrc(const uint8_t* header);

}  // namespace tl
