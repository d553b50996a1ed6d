// The stream payload: the bytes stored as one stream of a container, a 16-byte
// header and the serialized block sequence of the list. Little-endian.
//
//   OFFSET          SIZE            CONTENT
//   0               2               header tag, always 48
//   2               2               block count, low 16 bits
//   4               4               blocks size: bytes from offset 16 to the end
//                                   (the blocks and the 4-byte terminator)
//   8               8               reserved, 0
//   16              blocks size - 4 the blocks back to back, each `size` bytes,
//                                   with 'ZeVK' at its byte 8 and 0 at byte 44
//   12 + blocks size 4              terminator: u32 0
//
// An empty list gives 20 bytes: tag 48, count 0, blocks size 4, terminator.
// ParseListPayload reads such bytes back for the tools and the tests, checking
// every bound before it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tl {

inline constexpr size_t kPayloadTagOffset = 0;
inline constexpr size_t kPayloadCountOffset = 2;
inline constexpr size_t kPayloadBlocksSizeOffset = 4;
inline constexpr size_t kPayloadReservedOffset = 8;
inline constexpr size_t kPayloadReservedBytes = 8;
inline constexpr size_t kPayloadHeaderBytes = 16;
inline constexpr uint16_t kPayloadTag = 48;
inline constexpr uint32_t kPayloadTerminatorBytes = 4;
inline constexpr uint32_t kEmptyPayloadBytes = kPayloadHeaderBytes + kPayloadTerminatorBytes;

static_assert(kPayloadCountOffset == kPayloadTagOffset + 2);
static_assert(kPayloadBlocksSizeOffset == kPayloadCountOffset + 2);
static_assert(kPayloadReservedOffset == kPayloadBlocksSizeOffset + 4);
static_assert(kPayloadHeaderBytes == kPayloadReservedOffset + kPayloadReservedBytes);
static_assert(kEmptyPayloadBytes == 20);

// What is wrong with a payload or a block sequence, one bit each.
enum PayloadDefect : uint32_t {
  kPayloadTooShort = 1u << 0,          // shorter than the 16-byte header
  kPayloadBadTag = 1u << 1,            // header tag is not 48
  kPayloadReservedNonZero = 1u << 2,   // header bytes 8..15 not zero
  kPayloadSizeMismatch = 1u << 3,      // 16 + blocks size differs from the length,
                                       // or from where the terminator was found
  kPayloadBadBlockSize = 1u << 4,      // a block size out of 48..0x80000000 or past the end
  kPayloadBadMagic = 1u << 5,          // a block without 'ZeVK' at its byte 8
  kPayloadNoTerminator = 1u << 6,      // the sequence runs to the end without a u32 0
  kPayloadCountMismatch = 1u << 7,     // block count differs from the blocks found (mod 65536)
  kPayloadTransientNonZero = 1u << 8,  // a block with a non-zero byte 44..47
};

const char* PayloadDefectText(uint32_t defect_bit);

// One block of a sequence: where it starts (relative to the data given) and
// how long it is.
struct SequenceBlock {
  size_t offset = 0;
  uint32_t size = 0;
};

// Walks a serialized block sequence of `len` bytes. Appends each whole, sound
// block to *blocks and stops at the terminator or at the first defect (added
// to *defects). Returns the bytes the sequence covered, terminator included,
// when it ended at a terminator; else 0.
size_t WalkBlockSequence(const uint8_t* data, size_t len, std::vector<SequenceBlock>* blocks,
                         uint32_t* defects);

struct ParsedPayload {
  uint16_t tag = 0;
  uint16_t count = 0;
  uint32_t blocks_size = 0;
  std::vector<SequenceBlock> blocks;  // offsets from the payload's start
  uint32_t defects = 0;
};

// Parses a payload of `len` bytes. True when it has no defect.
bool ParseListPayload(const uint8_t* data, size_t len, ParsedPayload* out);

// Whether storing payload `b` over a stream that holds payload `a` would change
// what any reader of the list gets: false only when the two are byte for byte
// equal except bytes 12..23 of each block. Those bytes carried the in-memory
// link pointers of an older writer; a serialized block has its magic in bytes
// 8..11 and nothing reads 12..23, so a payload that differs only there holds
// the same list. Blocks are found by walking the size fields, which must be
// equal; where a walk cannot go on (a size out of range, a missing terminator)
// the rest is compared byte for byte, so a damaged payload is never taken for
// an equal one. A writer that finds the stored payload the same leaves the
// stream as it is (no write, the stream's write time kept).
bool SameListPayload(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len);

}  // namespace tl
