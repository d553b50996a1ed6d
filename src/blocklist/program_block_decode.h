// Reading a program block back from bytes, for the tools and the tests: every
// field of the record (layout in blocklist/program_block.h) and a list of what is
// structurally wrong with it. Never reads outside the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tl {

// Structural defects, one bit each.
enum PbDefect : uint32_t {
  kPbDefectTooShort = 1u << 0,          // fewer bytes than the fixed part
  kPbDefectSizeRange = 1u << 1,         // size outside 48..0x80000000
  kPbDefectSizeBeyondBuffer = 1u << 2,  // size larger than the bytes given
  kPbDefectSizeShape = 1u << 3,         // size odd or below 160
  kPbDefectPoolOffset = 1u << 4,        // poolOffset is not 152
  kPbDefectPoolOverrun = 1u << 5,       // a pool entry runs past size - 8
  kPbDefectBadOffset = 1u << 6,         // a string offset is not an entry start
  kPbDefectUnknownFlags = 1u << 7,      // flags bits above PB_FINGERPRINT
  kPbDefectEntryTerminator = 1u << 8,   // a pool entry not ended by a zero unit
  kPbDefectReservedNonZero = 1u << 9,   // a reserved field or the trailer not zero
};

// Short English text of one defect bit ("" for an unknown bit).
const char* PbDefectText(uint32_t defect_bit);

struct DecodedProgramBlock {
  uint32_t size = 0;
  uint16_t kind = 0;
  uint16_t loadedTag = 0;
  uint32_t magic = 0;  // bytes 8..11: 'ZeVK' in a serialized record
  uint64_t key = 0;
  uint32_t transient = 0;
  uint32_t flags = 0;
  uint16_t poolOffset = 0;
  uint32_t linkTimeStamp = 0;
  uint32_t value = 0;
  uint32_t valueSecond = 0;
  uint64_t fingerprint = 0;
  uint16_t nameOffset = 0;
  uint16_t text1Offset = 0;
  uint16_t text2Offset = 0;
  uint16_t text3Offset = 0;
  uint16_t tokenOffsets[4] = {0, 0, 0, 0};

  std::u16string name;
  std::vector<std::u16string> tokens;                 // the non-zero slots, in slot order
  std::optional<std::u16string> text1, text2, text3;  // present when flagged
  uint32_t pool_units = 0;                            // units of the well-formed pool entries
  uint32_t defects = 0;                               // PbDefect bits; 0 for a sound record
};

// Decodes the record at `bytes`, of which `len` bytes may be read. Returns false
// when not even the fixed part (152 bytes) is there or the size cannot be used
// to bound the record; the fields that could be read are filled in all the same
// and `defects` says what is wrong. A record with defects but a usable size
// decodes as far as its pool allows and returns true.
bool DecodeProgramBlock(const uint8_t* bytes, size_t len, DecodedProgramBlock* out);

}  // namespace tl
