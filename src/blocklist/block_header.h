// The block header: the first 48 bytes of every block that the list reads and
// writes. The rest of a block (a program block's fields and string pool) is
// opaque to the list.
//
// OFFSET  SIZE  CONTENT
//      0     4  size: the block's length in bytes, header included (48..0x80000000)
//      4     2  (kind; not read by the list)
//      6     2  loadedTag: 0x5642 in every block copied in from a serialized sequence
//      8     8  next: in memory the forward link; serialized: magic 'ZeVK' in bytes 8..11,
//                 bytes 12..15 zero
//     16     8  prev: in memory the backward link; serialized: zero
//     24     8  key: compared as one unsigned 64-bit value
//     32    12  (not read by the list)
//     44     4  transient: 0 in every serialized copy
//
// A serialized block sequence is blocks back to back, each exactly `size` bytes,
// followed by a u32 0 where the next block's size would be. It has no count and
// no total length.
#pragma once

#include <cstdint>

namespace tl {

inline constexpr uint32_t kBlockSizeOffset = 0;
inline constexpr uint32_t kBlockLoadedTagOffset = 6;
inline constexpr uint32_t kBlockNextOffset = 8;
inline constexpr uint32_t kBlockPrevOffset = 16;
inline constexpr uint32_t kBlockKeyOffset = 24;
inline constexpr uint32_t kBlockTransientOffset = 44;
inline constexpr uint32_t kBlockHeaderSize = 48;

// Serialized form: the magic replaces the first 4 bytes of `next`.
inline constexpr uint32_t kBlockMagicOffset = kBlockNextOffset;
inline constexpr uint32_t kBlockMagic = 0x5A65564B;  // 'ZeVK'
// Bytes of the serialized header that carried the link pointers besides the magic.
inline constexpr uint32_t kBlockLinkRestOffset = 12;
inline constexpr uint32_t kBlockLinkRestSize = 12;

inline constexpr uint16_t kLoadedTag = 0x5642;

inline constexpr uint32_t kMinBlockSize = 48;
inline constexpr uint32_t kMaxBlockSize = 0x80000000u;

// The terminator of a serialized sequence: a u32 0 in place of a block's size.
inline constexpr uint32_t kSequenceTerminatorSize = 4;

// A block's links pair sits at its `next` field: node pointer = block + 8.
inline constexpr int32_t kBlockNodeOffset = static_cast<int32_t>(kBlockNextOffset);

static_assert(kBlockLoadedTagOffset + 2 <= kBlockNextOffset);
static_assert(kBlockPrevOffset == kBlockNextOffset + 8);
static_assert(kBlockKeyOffset == kBlockPrevOffset + 8);
static_assert(kBlockLinkRestOffset + kBlockLinkRestSize == kBlockKeyOffset);
static_assert(kBlockTransientOffset + 4 == kBlockHeaderSize);
static_assert(kMinBlockSize == kBlockHeaderSize);

inline constexpr bool IsValidBlockSize(uint32_t size) {
  return size >= kMinBlockSize && size <= kMaxBlockSize;
}

}  // namespace tl
