// Taking a block over from memory the list does not own: the page-by-page
// readability probe of its bytes and the zero-padded heap copy.
#pragma once

#include <cstdint>

#include "blocklist/block_header.h"

namespace tl {

// True when every 4096-byte page that [p, p + len) touches passes the 4-byte
// readability test at (p & ~7) + k * 4096. The page count is computed in
// unsigned 32-bit arithmetic: (((p mod 4096) + len + 4095) & ~4095) / 4096.
bool ProbeReadable(const void* p, uint32_t len);

// A heap copy of the first `len` bytes of `source` in a zeroed allocation of
// len + 32 bytes (tl::ZeroAlloc, so free() releases it). Null when the source
// range is unreadable or the memory cannot be had. The caller checks the
// block's size (IsValidBlockSize) before asking for a copy.
void* BlockCopy(const void* source, uint32_t len);

}  // namespace tl
