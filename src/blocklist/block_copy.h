// Taking a block over: the page-by-page readability probe of memory that came
// from a caller, and the zero-padded heap copy, with the probe (caller memory)
// or without it (a work area of the library's own, readable by construction).
#pragma once

#include <cstdint>

#include "blocklist/block_header.h"

namespace tl {

// True when every 4096-byte page that [p, p + len) touches passes the 4-byte
// readability test at (p & ~7) + k * 4096. The page count is computed in
// unsigned 32-bit arithmetic: (((p mod 4096) + len + 4095) & ~4095) / 4096.
bool ProbeReadable(const void* p, uint32_t len);

// The number of bytes from `p` that a ProbeReadable of that length would pass,
// counted up to `max`: one probe where a caller must first read a length from
// the memory before it knows how much of it to test.
uint32_t ProbeReadableExtent(const void* p, uint32_t max);

// A heap copy of the first `len` bytes of `source` in a zeroed allocation of
// len + 32 bytes (tl::ZeroAlloc, so free() releases it). Null when the source
// range is unreadable or the memory cannot be had. The caller checks the
// block's size (IsValidBlockSize) before asking for a copy.
void* BlockCopy(const void* source, uint32_t len);

// The same copy without the probe, for a block that one of the library's
// builders assembled in its own work area: that memory is readable by
// construction, and probing it would cost a system call per block for nothing.
// Never for memory a caller handed in.
void* CopyOwnBlock(const void* source, uint32_t len);

// Test hook: the number of ProbeReadable calls since the process started.
uint64_t ProbeCallCount();

}  // namespace tl
