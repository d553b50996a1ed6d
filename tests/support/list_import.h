// The import of a hash list into a list, one AddOwnBlockCopy per used line:
// the road the library took before it built payloads directly, kept here as
// the tests' reference for what the payload builder must store. It differs
// from the library's road in one way that does not matter to a reference: a
// line whose block copy cannot be allocated is dropped (stats->dropped), where
// the library refuses the whole import.
#pragma once

#include "blocklist/var_block_list.h"
#include "entry/hash_list.h"

namespace tl::test {

// Adds a block for every used line of the file at `path` to `list`, in file
// order (a repeated pair replaces the earlier block and moves to the end).
// False when the file cannot be opened (the list is then unchanged) or a read
// fails. `stats` may be null.
bool ImportHashListInto(CVarBlockList& list, const char16_t* path, HashListStats* stats = nullptr);

}  // namespace tl::test
