#include "minifile/header.h"

#include <cstring>

#include "common/crc32.h"
#include "common/le.h"
#include "minifile/creation_parameters.h"
#include "minifile/dir_entry.h"
#include "minifile/key_generator.h"

namespace tl {

uint32_t HeaderCrc(const uint8_t* header) { return Crc32(header, kHeaderCrcOffset); }

bool GeometryFromHeader(const uint8_t* header, Geometry* out) {
  const uint64_t t = LoadU32(header, kHeaderTableEntriesOffset);
  const uint64_t b = LoadU32(header, kHeaderBlockSizeOffset);
  const uint64_t d = LoadU32(header, kHeaderDirEntriesOffset);
  if (b == 0 || t < 3 || t > 0xFFFF || d == 0) return false;
  // In 64 bits no product below can wrap; the one bound on the end of the data
  // area keeps every offset, size and buffer length of the container in 32 bits.
  const uint64_t dir_offset = kTableOffset + 2 * t;
  const uint64_t data_offset = dir_offset + uint64_t{kDirEntrySize} * d;
  const uint64_t data_end = data_offset + (t - kFirstDataBlock) * b;
  if (data_end > kMaxContainerEnd) return false;
  out->block_size = static_cast<uint32_t>(b);
  out->table_entries = static_cast<uint32_t>(t);
  out->dir_entries = static_cast<uint32_t>(d);
  out->table_offset = kTableOffset;
  out->dir_offset = static_cast<uint32_t>(dir_offset);
  out->data_offset = static_cast<uint32_t>(data_offset);
  out->block_limit = t < kLinkReserved ? static_cast<uint32_t>(t) : kLinkReserved;
  return true;
}

void MiniFileInitHeader(uint8_t header[kHeaderSize]) {
  MiniFileInitHeaderWith(header, GetCreationParameters());
}

void MiniFileInitHeaderWith(uint8_t header[kHeaderSize], const CreationParameters& parameters) {
  std::memset(header, 0, kHeaderSize);
  const CreationParameters p = NormalizedCreationParameters(parameters);
  StoreU32(header, kHeaderMagicOffset, kHeaderMagic);
  StoreU32(header, kHeaderVersionOffset, kHeaderVersion);
  StoreU32(header, kHeaderReserved12Offset, 0);
  std::memcpy(header + kHeaderTextOffset, kHeaderText, kHeaderTextSize);
  StoreU32(header, kHeaderBlockSizeOffset, p.blockSize);
  StoreU32(header, kHeaderTableEntriesOffset, p.tableEntries);
  StoreU32(header, kHeaderDirEntriesOffset, p.directoryEntries);
  DrawKeyBytes(header + kHeaderKeyOffset, kHeaderKeySize);
  StoreU32(header, kHeaderCrcOffset, HeaderCrc(header));
}

int MiniFileCheckHeader(const uint8_t header[kHeaderSize]) {
  if (header == nullptr) return 0;
  if (LoadU32(header, kHeaderMagicOffset) != kHeaderMagic) return 0;
  if (LoadU32(header, kHeaderVersionOffset) > kHeaderVersion) return 0;
  if (LoadU32(header, kHeaderCrcOffset) != HeaderCrc(header)) return 0;
  return 1;
}

}  // namespace tl
