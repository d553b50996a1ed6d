// The headers a container with a damaged header could have had, for a reader
// that salvages what the container still holds. Nothing here decides which
// one is right: each candidate is a whole 128-byte header (layout in
// header.h) that passes MiniFileCheckHeader and lies inside the format, and
// the salvage tries them in order against the streams they make readable.
//
// A candidate keeps the stored bytes 16..47 (the text and the key bytes, whose
// first 8 are the RC4 key of every stream: a guess cannot restore them)
// unless a one-bit repair restored them. Its magic and version are the
// format's, its check value computed anew.
#pragma once

#include <cstdint>
#include <vector>

#include "minifile/header.h"

namespace tl {

enum class HeaderGuess : uint8_t {
  kAsStored,         // the header passes its checks: the only candidate
  kOneBitRepaired,   // exactly one flipped bit of bytes 0..115 explains the check value
  kStoredGeometry,   // the stored table, block and directory counts, which lie inside the format
  kCommitGeometry,   // the counts every commit makes a container with (kCommitCreationParameters)
  kDefaultGeometry,  // the counts of the process-wide creation parameters at load
};

struct HeaderCandidate {
  HeaderGuess guess = HeaderGuess::kAsStored;
  uint8_t header[kHeaderSize] = {};
  // kOneBitRepaired: the byte and the bit put back.
  uint32_t repaired_byte = 0;
  uint8_t repaired_mask = 0;
};

// The candidates for `stored` (the file's first 128 bytes), in the order a
// salvage should prefer them: the header as stored when it passes its checks
// (then alone), else the one-bit repair (when exactly one bit explains the
// check value: a CRC-32 tells every single flipped bit of so short a header
// apart, and its Hamming distance of 5 over these 116 bytes keeps two or three
// flipped bits from passing for one), the stored
// counts, the commit's and the defaults, leaving out any whose counts lie
// outside the format and any that repeats an earlier candidate.
std::vector<HeaderCandidate> HeaderCandidates(const uint8_t stored[kHeaderSize]);

}  // namespace tl
