// The list as a stream payload: measured, serialized under its lock behind a
// payload header (layout in entry/list_payload.h). The list store
// (entry/list_store.h) writes it into a container.
#pragma once

#include <cstdint>

namespace tl {

class CVarBlockList;

// The stream payload of `list` as a commit stores it: measured, exported and
// counted under the lock behind its header. The buffer comes from ZeroAlloc
// (free it with ZeroFree); *size gets its length and *count the blocks it
// holds. Null when the list is too large for one stream or the memory cannot
// be had.
uint8_t* BuildListPayload(CVarBlockList& list, uint32_t* size, uint32_t* count);

// The length BuildListPayload would give for `list` as it is now, without
// exporting it; 0 when it is too large for one stream.
uint32_t ListPayloadSize(CVarBlockList& list);

}  // namespace tl
