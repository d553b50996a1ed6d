// Program block: the record that describes one program of a trust list. The same
// bytes are the in-memory list element and the serialized form inside a stream
// payload, so every offset below is a file format. Integers are little-endian.
//
//   OFFSET  SIZE  CONTENT
//   0       4     size: whole record in bytes = 160 + 2 * pool units
//   4       2     kind: 2 in every record built here
//   6       2     loadedTag: 0 when built, 0x5642 when loaded from a buffer
//   8       8     next link in memory; serialized: magic 'ZeVK' in bytes 8..11
//   16      8     prev link in memory
//   24      8     key: name key in the low 32 bits, 0 in the high 32 bits
//   32      12    reserved, 0
//   44      4     transient: 0
//   48      4     flags: PB_* below
//   52      2     poolOffset: always 152
//   54      2     reserved, 0
//   56      4     linkTimeStamp (PB_TIMESTAMP)
//   60      4     value (PB_VALUE, or the pair's first value with PB_VALUE_PAIR)
//   64      4     valueSecond (PB_VALUE_PAIR)
//   68      4     reserved, 0
//   72      8     fingerprint: file size << 32 | CRC-32 (PB_FINGERPRINT)
//   80      40    reserved, 0
//   120     2     nameOffset: pool offset of the name, always 0
//   122     2     text2Offset (PB_TEXT2)
//   124     2     text3Offset (PB_TEXT3)
//   126     2     text1Offset (PB_TEXT1)
//   128     8     tokenOffsets: 4 x u16 (PB_TOKENS); a slot of 0 holds no token
//   136     16    reserved, 0
//   152     2U    string pool of U 16-bit units: entries of (u16 count n,
//                 n UTF-16LE units, u16 0); an entry's offset is the unit index
//                 of its count word
//   152+2U  8     trailer, 0 (counted in size)
#pragma once

#include <cstddef>
#include <cstdint>

namespace tl {

inline constexpr size_t kPbSizeOffset = 0;
inline constexpr size_t kPbKindOffset = 4;
inline constexpr size_t kPbLoadedTagOffset = 6;
inline constexpr size_t kPbNextOffset = 8;
inline constexpr size_t kPbPrevOffset = 16;
inline constexpr size_t kPbKeyOffset = 24;
inline constexpr size_t kPbReserved32Offset = 32;
inline constexpr size_t kPbReserved32Bytes = 12;
inline constexpr size_t kPbTransientOffset = 44;
inline constexpr size_t kPbFlagsOffset = 48;
inline constexpr size_t kPbPoolOffsetOffset = 52;
inline constexpr size_t kPbReserved54Offset = 54;
inline constexpr size_t kPbLinkTimeStampOffset = 56;
inline constexpr size_t kPbValueOffset = 60;
inline constexpr size_t kPbValueSecondOffset = 64;
inline constexpr size_t kPbReserved68Offset = 68;
inline constexpr size_t kPbFingerprintOffset = 72;
inline constexpr size_t kPbReserved80Offset = 80;
inline constexpr size_t kPbReserved80Bytes = 40;
inline constexpr size_t kPbNameOffsetOffset = 120;
inline constexpr size_t kPbText2OffsetOffset = 122;
inline constexpr size_t kPbText3OffsetOffset = 124;
inline constexpr size_t kPbText1OffsetOffset = 126;
inline constexpr size_t kPbTokenOffsetsOffset = 128;
inline constexpr size_t kPbTokenSlots = 4;
inline constexpr size_t kPbReserved136Offset = 136;
inline constexpr size_t kPbReserved136Bytes = 16;
inline constexpr size_t kPbPoolStart = 152;
// The value every builder stores in poolOffset.
inline constexpr uint16_t kPbPoolOffsetValue = 152;
inline constexpr size_t kPbTrailerBytes = 8;
// Fixed part plus trailer: the size of a record with an empty pool.
inline constexpr size_t kPbFixedBytes = kPbPoolStart + kPbTrailerBytes;
inline constexpr uint16_t kPbKind = 2;
// Pool offsets are 16-bit unit indexes.
inline constexpr uint32_t kPbMaxPoolUnits = 0xFFFF;

static_assert(kPbKindOffset == kPbSizeOffset + 4);
static_assert(kPbLoadedTagOffset == kPbKindOffset + 2);
static_assert(kPbNextOffset == kPbLoadedTagOffset + 2);
static_assert(kPbPrevOffset == kPbNextOffset + 8);
static_assert(kPbKeyOffset == kPbPrevOffset + 8);
static_assert(kPbReserved32Offset == kPbKeyOffset + 8);
static_assert(kPbTransientOffset == kPbReserved32Offset + kPbReserved32Bytes);
static_assert(kPbFlagsOffset == kPbTransientOffset + 4);
static_assert(kPbPoolOffsetOffset == kPbFlagsOffset + 4);
static_assert(kPbReserved54Offset == kPbPoolOffsetOffset + 2);
static_assert(kPbLinkTimeStampOffset == kPbReserved54Offset + 2);
static_assert(kPbValueOffset == kPbLinkTimeStampOffset + 4);
static_assert(kPbValueSecondOffset == kPbValueOffset + 4);
static_assert(kPbReserved68Offset == kPbValueSecondOffset + 4);
static_assert(kPbFingerprintOffset == kPbReserved68Offset + 4);
static_assert(kPbReserved80Offset == kPbFingerprintOffset + 8);
static_assert(kPbNameOffsetOffset == kPbReserved80Offset + kPbReserved80Bytes);
static_assert(kPbText2OffsetOffset == kPbNameOffsetOffset + 2);
static_assert(kPbText3OffsetOffset == kPbText2OffsetOffset + 2);
static_assert(kPbText1OffsetOffset == kPbText3OffsetOffset + 2);
static_assert(kPbTokenOffsetsOffset == kPbText1OffsetOffset + 2);
static_assert(kPbReserved136Offset == kPbTokenOffsetsOffset + 2 * kPbTokenSlots);
static_assert(kPbPoolStart == kPbReserved136Offset + kPbReserved136Bytes);
static_assert(kPbPoolOffsetValue == kPbPoolStart);
static_assert(kPbFixedBytes == 160);

// Which attributes a record carries (u32 at kPbFlagsOffset).
inline constexpr uint32_t PB_VALUE = 0x01;
inline constexpr uint32_t PB_VALUE_PAIR = 0x02;
inline constexpr uint32_t PB_TIMESTAMP = 0x04;
inline constexpr uint32_t PB_TEXT2 = 0x08;
inline constexpr uint32_t PB_TEXT1 = 0x10;
inline constexpr uint32_t PB_TOKENS = 0x20;
inline constexpr uint32_t PB_TEXT3 = 0x40;
inline constexpr uint32_t PB_FINGERPRINT = 0x80;
inline constexpr uint32_t kPbKnownFlags = 0xFF;

// Record size for a pool of `units` 16-bit units.
inline constexpr uint32_t PbSizeForUnits(uint32_t units) {
  return static_cast<uint32_t>(kPbFixedBytes) + 2 * units;
}
static_assert(PbSizeForUnits(20) == 200, "an 18-unit name alone makes a 200-byte record");

// Starts a record in a zeroed work area: poolOffset 152, nameOffset 0.
void PbBeginRecord(uint8_t* record);

// Appends the pool entry (n, s[0..n), 0) at unit *units of `record`, whose work
// area holds `capacity` bytes. On success stores the entry's offset (the old
// *units) in *offset, adds n + 2 to *units and returns true. Returns false and
// changes nothing when the entry, with the record's trailer behind it, would not
// fit in `capacity` or its offset would not fit in 16 bits.
bool PbAppendPoolEntry(uint8_t* record, size_t capacity, uint32_t* units, const char16_t* s,
                       size_t n, uint16_t* offset);

// A string for the pool: `len` UTF-16 units at `units` (no terminator needed).
struct PbString {
  const char16_t* units = nullptr;
  size_t len = 0;
};

// Everything a program block holds, as the builders lay it out.
struct ProgramBlockFields {
  PbString name;
  PbString tokens[kPbTokenSlots];
  size_t token_count = 0;  // the first token_count slots are used
  PbString text1, text2, text3;
  uint32_t flags = 0;  // PB_*: which of the attributes below are stored
  uint32_t value = 0;  // PB_VALUE, or the pair's first value with PB_VALUE_PAIR
  uint32_t value_second = 0;
  uint32_t link_time_stamp = 0;
  uint64_t fingerprint = 0;
  uint16_t kind = kPbKind;
};

// The one assembly of a program block, used by the program entry builder, the
// hash list's blocks and trustctl's jsonl entries. Writes every byte of the
// block into `work` (`capacity` bytes; bytes past the block are left as they
// were): the fixed fields zeroed, then poolOffset 152 and nameOffset 0; the
// pool in the order name, tokens (PB_TOKENS), text1 (PB_TEXT1), text2
// (PB_TEXT2), text3 (PB_TEXT3), each entry's offset in its field; value
// (PB_VALUE or PB_VALUE_PAIR), valueSecond (PB_VALUE_PAIR), linkTimeStamp
// (PB_TIMESTAMP) and fingerprint (PB_FINGERPRINT) under their flags; flags;
// the zero trailer; size, the name key and kind. Returns the size, or 0 (and
// nothing is promised of `work`) when the block would not fit `capacity`, its
// pool offsets would not fit 16 bits, or more than four tokens are given.
uint32_t AssembleProgramBlock(const ProgramBlockFields& fields, uint8_t* work, size_t capacity);

// Finishes a record whose pool holds `units` units: size = 160 + 2 * units,
// key = ComputeOwnNameKey(name) zero-extended, kind = 2. Returns the size.
uint32_t PbFinishRecord(uint8_t* record, uint32_t units, const char16_t* name);
// The same for a name of at most `name_len` units that need not be terminated.
uint32_t PbFinishRecord(uint8_t* record, uint32_t units, const char16_t* name, size_t name_len);

// Measures a terminated UTF-16 string that may lie in memory of unknown
// readability, testing each page once before reading from it. True with *len =
// the units before the terminator, or *len = max when none of the first `max`
// units is 0; false when a page on the way is unreadable (or s is null).
bool ProbedU16Len(const char16_t* s, size_t max, size_t* len);

// The name key: CRC-32 over the name's UTF-16LE bytes after folding 'A'..'Z' to
// 'a'..'z' (nothing else is folded). 0 for an empty name, a name that cannot be
// read, a name of 32768 or more units, or when the working copy cannot be
// allocated.
uint32_t ComputeNameKey(const char16_t* name);

// The same key for a name in one of the library's own buffers (terminated,
// readable by construction): no probe and no working copy on the heap, so it
// cannot fail for want of memory. 0 for an empty name or one of 32768 or more
// units.
uint32_t ComputeOwnNameKey(const char16_t* name);
// The same over at most `max_len` units of `name` (it ends earlier at a 0).
uint32_t ComputeOwnNameKey(const char16_t* name, size_t max_len);
inline constexpr size_t kNameKeyMaxUnits = 32768;

}  // namespace tl
