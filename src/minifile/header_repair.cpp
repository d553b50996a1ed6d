#include "minifile/header_repair.h"

#include <cstring>

#include "common/le.h"
#include "minifile/creation_parameters.h"

namespace tl {
namespace {

// Bytes a one-bit repair may touch: everything the check value covers, and
// the check value itself.
constexpr uint32_t kRepairableBytes = kHeaderCrcOffset + 4;

bool Usable(const uint8_t* header) {
  Geometry g;
  return MiniFileCheckHeader(header) == 1 && GeometryFromHeader(header, &g);
}

// The stored header with the format's magic and version, the given counts
// and its check value computed anew.
HeaderCandidate WithCounts(const uint8_t* stored, HeaderGuess guess, uint32_t table_entries,
                           uint32_t block_size, uint32_t dir_entries) {
  HeaderCandidate c;
  c.guess = guess;
  std::memcpy(c.header, stored, kHeaderSize);
  StoreU32(c.header, kHeaderMagicOffset, kHeaderMagic);
  StoreU32(c.header, kHeaderVersionOffset, kHeaderVersion);
  StoreU32(c.header, kHeaderTableEntriesOffset, table_entries);
  StoreU32(c.header, kHeaderBlockSizeOffset, block_size);
  StoreU32(c.header, kHeaderDirEntriesOffset, dir_entries);
  StoreU32(c.header, kHeaderCrcOffset, HeaderCrc(c.header));
  return c;
}

HeaderCandidate FromParameters(const uint8_t* stored, HeaderGuess guess,
                               const CreationParameters& parameters) {
  const CreationParameters p = NormalizedCreationParameters(parameters);
  return WithCounts(stored, guess, p.tableEntries, p.blockSize, p.directoryEntries);
}

// The one header that flipping a single bit of `stored` makes usable, if
// exactly one does.
bool OneBitRepair(const uint8_t* stored, HeaderCandidate* out) {
  int found = 0;
  uint8_t trial[kHeaderSize];
  std::memcpy(trial, stored, kHeaderSize);
  for (uint32_t byte = 0; byte < kRepairableBytes; ++byte) {
    for (uint8_t mask = 1; mask != 0; mask = static_cast<uint8_t>(mask << 1)) {
      trial[byte] ^= mask;
      if (Usable(trial) && ++found == 1) {
        out->guess = HeaderGuess::kOneBitRepaired;
        std::memcpy(out->header, trial, kHeaderSize);
        out->repaired_byte = byte;
        out->repaired_mask = mask;
      }
      trial[byte] ^= mask;
    }
  }
  return found == 1;
}

}  // namespace

std::vector<HeaderCandidate> HeaderCandidates(const uint8_t stored[kHeaderSize]) {
  std::vector<HeaderCandidate> out;
  if (Usable(stored)) {
    HeaderCandidate c;
    std::memcpy(c.header, stored, kHeaderSize);
    out.push_back(c);
    return out;
  }
  if (HeaderCandidate c; OneBitRepair(stored, &c)) out.push_back(c);
  const HeaderCandidate guesses[] = {
      WithCounts(stored, HeaderGuess::kStoredGeometry, LoadU32(stored, kHeaderTableEntriesOffset),
                 LoadU32(stored, kHeaderBlockSizeOffset), LoadU32(stored, kHeaderDirEntriesOffset)),
      FromParameters(stored, HeaderGuess::kCommitGeometry, kCommitCreationParameters),
      FromParameters(stored, HeaderGuess::kDefaultGeometry, kDefaultCreationParameters),
  };
  for (const HeaderCandidate& g : guesses) {
    bool repeat = false;
    for (const HeaderCandidate& c : out)
      repeat = repeat || std::memcmp(c.header, g.header, kHeaderSize) == 0;
    if (!repeat && Usable(g.header)) out.push_back(g);
  }
  return out;
}

}  // namespace tl
