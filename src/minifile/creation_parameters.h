// The process-wide creation parameters: how new container headers are made.
//   OFFSET  SIZE  CONTENT
//        0     4  cbSize: bytes of a record passed in (at most 20)
//        4     4  blockSize: block size B of a new container
//        8     4  tableEntries: allocation-table entry count T of a new container
//       12     4  directoryEntries: directory entry count D of a new container
//       16     4  padLastBlock: non-zero = write a stream's last block in full
#pragma once

#include <cstddef>
#include <cstdint>

namespace tl {

struct CreationParameters {
  uint32_t cbSize;
  uint32_t blockSize;
  uint32_t tableEntries;
  uint32_t directoryEntries;
  uint32_t padLastBlock;
};
static_assert(sizeof(CreationParameters) == 20);
static_assert(offsetof(CreationParameters, cbSize) == 0);
static_assert(offsetof(CreationParameters, blockSize) == 4);
static_assert(offsetof(CreationParameters, tableEntries) == 8);
static_assert(offsetof(CreationParameters, directoryEntries) == 12);
static_assert(offsetof(CreationParameters, padLastBlock) == 16);

// Values at load: 16 KiB blocks, 1024 table entries, 8 directory entries, no pad.
inline constexpr CreationParameters kDefaultCreationParameters{20, 0x4000, 1024, 8, 0};

// Copies the first r->cbSize bytes of `r` (nothing when cbSize is above 20 or r
// is null) over the process-wide record, then normalizes it: tableEntries below
// 16 or not a multiple of 16 becomes (tableEntries + 17) rounded down to a
// multiple of 16; blockSize below 512 or not a multiple of 512 is raised to the
// next multiple of 512 (512 when that wraps to 0); directoryEntries 0 becomes 1.
void SetCreationParameters(const CreationParameters* r);

// A copy of the process-wide record.
CreationParameters GetCreationParameters();

// `p` normalized as SetCreationParameters normalizes the process-wide record.
CreationParameters NormalizedCreationParameters(CreationParameters p);

// What every commit creates a new container with: 1 MiB blocks, 32 table
// entries, 4 directory entries (30 data blocks, 4 streams), no padding.
inline constexpr CreationParameters kCommitCreationParameters{20, 0x100000, 32, 4, 0};

}  // namespace tl
