#include "entry/list_payload.h"

#include <cstring>

#include "blocklist/block_header.h"
#include "common/le.h"

namespace tl {

const char* PayloadDefectText(uint32_t defect_bit) {
  switch (defect_bit) {
    case kPayloadTooShort:
      return "shorter than the payload header";
    case kPayloadBadTag:
      return "header tag is not 48";
    case kPayloadReservedNonZero:
      return "reserved header bytes not zero";
    case kPayloadSizeMismatch:
      return "blocks size does not match the payload";
    case kPayloadBadBlockSize:
      return "a block size is out of range or runs past the end";
    case kPayloadBadMagic:
      return "a block lacks its magic";
    case kPayloadNoTerminator:
      return "the block sequence has no terminator";
    case kPayloadCountMismatch:
      return "block count does not match the blocks";
    case kPayloadTransientNonZero:
      return "a block's transient field is not zero";
    default:
      return "";
  }
}

size_t WalkBlockSequence(const uint8_t* data, size_t len, std::vector<SequenceBlock>* blocks,
                         uint32_t* defects) {
  size_t pos = 0;
  for (;;) {
    if (len - pos < kSequenceTerminatorSize) {
      *defects |= kPayloadNoTerminator;
      return 0;
    }
    const uint32_t size = LoadU32(data, pos);
    if (size == 0) return pos + kSequenceTerminatorSize;
    if (!IsValidBlockSize(size) || size > len - pos) {
      *defects |= kPayloadBadBlockSize;
      return 0;
    }
    if (LoadU32(data, pos + kBlockMagicOffset) != kBlockMagic) {
      *defects |= kPayloadBadMagic;
      return 0;
    }
    if (LoadU32(data, pos + kBlockTransientOffset) != 0) *defects |= kPayloadTransientNonZero;
    blocks->push_back(SequenceBlock{pos, size});
    pos += size;
  }
}

bool ParseListPayload(const uint8_t* data, size_t len, ParsedPayload* out) {
  *out = ParsedPayload{};
  if (len < kPayloadHeaderBytes) {
    out->defects |= kPayloadTooShort;
    return false;
  }
  out->tag = LoadU16(data, kPayloadTagOffset);
  out->count = LoadU16(data, kPayloadCountOffset);
  out->blocks_size = LoadU32(data, kPayloadBlocksSizeOffset);
  if (out->tag != kPayloadTag) out->defects |= kPayloadBadTag;
  for (size_t i = 0; i < kPayloadReservedBytes; ++i) {
    if (data[kPayloadReservedOffset + i] != 0) out->defects |= kPayloadReservedNonZero;
  }
  if (kPayloadHeaderBytes + uint64_t{out->blocks_size} != len) {
    out->defects |= kPayloadSizeMismatch;
  }
  const size_t covered = WalkBlockSequence(data + kPayloadHeaderBytes, len - kPayloadHeaderBytes,
                                           &out->blocks, &out->defects);
  for (auto& b : out->blocks) b.offset += kPayloadHeaderBytes;
  if (covered != 0 && covered != out->blocks_size) out->defects |= kPayloadSizeMismatch;
  if ((out->blocks.size() & 0xFFFF) != out->count) out->defects |= kPayloadCountMismatch;
  return out->defects == 0;
}

bool SameListPayload(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len) {
  if (a_len != b_len) return false;
  if (a_len < kPayloadHeaderBytes) return std::memcmp(a, b, a_len) == 0;
  if (std::memcmp(a, b, kPayloadHeaderBytes) != 0) return false;
  size_t pos = kPayloadHeaderBytes;
  while (a_len - pos >= kSequenceTerminatorSize) {
    const uint32_t size = LoadU32(a, pos);
    if (size != LoadU32(b, pos)) return false;
    // The terminator, or a size no block has: what follows is compared whole.
    if (size == 0 || !IsValidBlockSize(size) || size > a_len - pos) break;
    const size_t rest = pos + kBlockLinkRestOffset;
    const size_t after = rest + kBlockLinkRestSize;
    if (std::memcmp(a + pos, b + pos, kBlockLinkRestOffset) != 0 ||
        std::memcmp(a + after, b + after, pos + size - after) != 0) {
      return false;
    }
    pos += size;
  }
  return std::memcmp(a + pos, b + pos, a_len - pos) == 0;
}

}  // namespace tl
