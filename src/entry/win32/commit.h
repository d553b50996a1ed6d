// The commit: the one operation that writes to disk, then tells the client.
#pragma once

#include <cstdint>

namespace tl::entry {

// Containers made by a commit take kCommitCreationParameters (1 MiB blocks,
// 32 table entries, 4 directory entries), passed to the open: the process-wide
// creation parameters are not changed.

// Stores the global list as the selected stream of the selected container
// (unless there is no selection or its skip flag is set), empties the list and
// notifies the client library once, whatever happened before. Returns the
// number of blocks written, 0 when nothing was written.
uint32_t Commit();

// Ends a commit that must not write (its list is known to be incomplete) as a
// failed commit ends: container untouched, list emptied,
// client notified. Returns 0.
uint32_t DiscardCommit();

// Loads the client library, calls its change notification when it has one and
// unloads it again. Nothing happens when it cannot be found.
void NotifyClient();

}  // namespace tl::entry
