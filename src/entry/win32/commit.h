// The commit: the one operation that writes to disk, then tells the client.
#pragma once

#include <cstdint>

namespace tl {
class PayloadBuilder;
}

namespace tl::entry {

// Containers made by a commit take kCommitCreationParameters (1 MiB blocks,
// 32 table entries, 4 directory entries), passed to the open: the process-wide
// creation parameters are not changed.

// Stores the global list as the selected stream of the selected container
// (unless there is no selection or its skip flag is set), empties the list and
// notifies the client library once, whatever happened before. Returns the
// number of blocks written, 0 when nothing was written. The thread's last
// error tells the two apart, as Windows functions do: ERROR_SUCCESS after a
// commit that stored its list (an empty list too), else the cause: the
// system's error of the open or the write, ERROR_SHARING_VIOLATION when
// another writer held the container for the whole wait, ERROR_FILE_CORRUPT
// when an interrupted write could not be rolled back, ERROR_DISK_FULL when the
// list does not fit, ERROR_INVALID_HANDLE with no selection, ERROR_CANCELLED
// when the selection's skip flag is set.
uint32_t Commit();

// The same commit with the payload `built` stores in place of the global
// list's (an import builds its payload without the list); the global list is
// emptied all the same.
uint32_t CommitBuilt(PayloadBuilder& built);

// Ends a commit that must not write (its list is known to be incomplete) as a
// failed commit ends: container untouched, list emptied, client notified, the
// last error set to `cause`. Returns 0.
uint32_t DiscardCommit(uint32_t cause);

// Loads the client library, calls its change notification when it has one and
// unloads it again. Nothing happens when it cannot be found.
void NotifyClient();

}  // namespace tl::entry
