// Writing the list into a container: the list is measured, serialized under
// its lock behind a payload header (layout in entry/list_payload.h) and stored
// as one stream.
#pragma once

#include <cstdint>

namespace tl {

class CVarBlockList;
struct MiniFileHandle;

// The stream payload of `list` as a commit stores it: measured, exported and
// counted under the lock behind its header. The buffer comes from ZeroAlloc
// (free it with ZeroFree); *size gets its length and *count the blocks it
// holds. Null when the list is too large for one stream or the memory cannot
// be had.
uint8_t* BuildListPayload(CVarBlockList& list, uint32_t* size, uint32_t* count);

// The length BuildListPayload would give for `list` as it is now, without
// exporting it; 0 when it is too large for one stream.
uint32_t ListPayloadSize(CVarBlockList& list);

// Builds the stream payload of `list` and writes it as the stream
// `stream_name` of the open container. Returns the number of blocks (all 32
// bits) when every byte of the payload was written, else 0. An empty list is
// written as the 20-byte payload and gives 0 as well.
uint32_t WriteListStream(MiniFileHandle* handle, const char16_t* stream_name, CVarBlockList& list);

}  // namespace tl
