// The client entry table: the process-wide handle of the loaded client library
// and its 19 entries, resolved by ordinal. Both are null at load and between
// commits; only the commit uses them, on its caller's thread, without a lock.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace tl::client {

inline constexpr size_t kClientEntryCount = 19;
// The client's exports, in table order.
inline constexpr uint16_t kClientOrdinals[kClientEntryCount] = {
    1, 10, 11, 12, 13, 15, 16, 17, 18, 20, 23, 24, 25, 26, 27, 30, 34, 35, 36};
// The change notification: the seventh entry, ordinal 16.
inline constexpr size_t kChangeNotificationIndex = 6;
static_assert(kClientOrdinals[kChangeNotificationIndex] == 16);

// The change notification as it is called: no arguments, result not used.
using ChangeNotificationFn = uint32_t (*)();

// Stores `module` as the client module handle (also when null); with a module,
// resolves every ordinal of the table (null where the client lacks it).
// Returns 1 when a module was given, else 0.
int32_t LoadClientEntries(HMODULE module);

// Calls the change notification when the table holds it; otherwise nothing.
void NotifyClientChange();

// Clears the table, unloads the client library when one is held and forgets
// its handle.
void ReleaseClientEntries();

// The current state, for the commit's own checks and for tests.
HMODULE ClientModuleHandle();
FARPROC ClientEntry(size_t index);

}  // namespace tl::client
