// Writing the list into a container: the list is measured, serialized under
// its lock behind a payload header (layout in entry/list_payload.h) and stored
// as one stream.
#pragma once

#include <cstdint>

namespace tl {

class CVarBlockList;
struct MiniFileHandle;

// Builds the stream payload of `list` and writes it as the stream
// `stream_name` of the open container. Returns the number of blocks (all 32
// bits) when every byte of the payload was written, else 0. An empty list is
// written as the 20-byte payload and gives 0 as well.
uint32_t WriteListStream(MiniFileHandle* handle, const char16_t* stream_name, CVarBlockList& list);

}  // namespace tl
