// The program entry builder: turns a caller's program description record into a
// program block (blocklist/program_block.h) and hands a heap copy of it to a
// list. The record belongs to the caller; two fields are written back into it.
//
// Program description record (little-endian; public layout in
// include/trustlist/trustlist.h):
//   OFFSET  SIZE  CONTENT
//   0       4     cbSize: record size in bytes, at least 2048
//   4       520   path: 260 UTF-16 units, the program's path or a bare file name
//   524     4     valueSingle (0 = absent)
//   528     4     valuePairFirst (0 = pair absent)
//   532     4     valuePairSecond
//   616     520   tokenList: 260 units, tokens separated by ';'
//   1136    8     timeStampFile: in, address of a UTF-16 path or 0;
//                 out, first 4 bytes = link time stamp when it was read
//   1144    8     fingerprintFile: in, address of a UTF-16 path or 0;
//                 out, the fingerprint when the address was not 0
//   1160    128   text1: 64 units
//   1288    128   text2: 64 units
//   1416    ...   text3: to the end of the record (cbSize)
//
// Every string is read only inside its field (text3 only inside cbSize) and at
// most 599 units of it are taken; one that is not terminated in its field ends at
// the field's end. Nothing past the record is read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blocklist/program_block.h"

namespace tl {

class CVarBlockList;

inline constexpr size_t kPdCbSizeOffset = 0;
inline constexpr size_t kPdPathOffset = 4;
inline constexpr size_t kPdPathUnits = 260;
inline constexpr size_t kPdValueSingleOffset = 524;
inline constexpr size_t kPdValuePairFirstOffset = 528;
inline constexpr size_t kPdValuePairSecondOffset = 532;
inline constexpr size_t kPdTokenListOffset = 616;
inline constexpr size_t kPdTokenListUnits = 260;
inline constexpr size_t kPdTimeStampFileOffset = 1136;
inline constexpr size_t kPdFingerprintFileOffset = 1144;
inline constexpr size_t kPdText1Offset = 1160;
inline constexpr size_t kPdText2Offset = 1288;
inline constexpr size_t kPdTextUnits = 64;
inline constexpr size_t kPdText3Offset = 1416;
inline constexpr uint32_t kPdMinSize = 2048;

// Working copies of the caller's strings hold at most this many units.
inline constexpr size_t kPdMaxStringUnits = 599;
// The name: the path's file name and "@*", or the whole path.
inline constexpr size_t kPdNameBufferUnits = 264;
// At most this many tokens are taken from the token list.
inline constexpr size_t kPdMaxTokens = 4;
// The work area a block is assembled in; a block built here stays far below it.
inline constexpr size_t kProgramWorkBytes = 32768;

// Builds the block for the description at `record` in `work` (kProgramWorkBytes
// bytes; every byte of the finished block is written here, the rest of the
// work area is left as it was). Reads the link time stamp and the fingerprint of the
// files the record points at and writes them back into the record as the
// builder must (stamp: first 4 bytes of timeStampFile, only when read;
// fingerprint: all 8 bytes of fingerprintFile whenever its address is not 0).
// Returns 0 when cbSize is below 2048 (nothing else is read) or the
// description carries no attribute (no block); otherwise 1 with the finished
// block in `work` and its size in *block_size.
int32_t BuildProgramBlock(void* record, uint8_t* work, uint32_t* block_size);

// The name the builder gives the program at `path` (`len` units; as the
// builder, it takes at most the path field's 259): the text after the last
// backslash followed by "@*", or the whole path when it has no backslash, cut
// to kPdNameBufferUnits - 1 units. Written terminated to `name`; returns its
// length. Only a backslash separates: the product's paths are Windows paths.
size_t ProgramNameOfPath(const char16_t* path, size_t len, char16_t (&name)[kPdNameBufferUnits]);

// Splits a token list as the builder does: tokens are separated by ';', empty
// ones are dropped. Stores the first `max_tokens` in `tokens` and returns how
// many the list holds (which may be more).
size_t SplitProgramTokens(const char16_t* list, size_t len, PbString* tokens, size_t max_tokens);

// BuildProgramBlock, then a zero-padded heap copy of the block is given to
// `list` (AddBlock: it replaces a block with the same key or goes to the tail).
// Returns what the build returned: 1 also when the copy could not be made.
int32_t AddProgramTo(CVarBlockList& list, void* record);

}  // namespace tl
