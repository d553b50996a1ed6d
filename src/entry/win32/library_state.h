// The library's process-wide state: the host module, beside which the
// container files lie, and the one global list with its chain of request
// records.
//
// None of it has a lock of its own: SetHostModule, SelectTarget, Commit and
// the imports must not overlap (only the list's own operations are locked).
#pragma once

#include <windows.h>

#include "blocklist/var_block_list.h"
#include "trustlist/trustlist.h"

namespace tl::entry {

// The module whose directory holds the container files; null stands for the
// host process's executable. Set to the library's own instance at attach.
HMODULE HostModule();
void SetHostModuleHandle(HMODULE module);

// The global list, constructed statically at load and destroyed at unload
// (which frees the request chain and every block still listed).
CVarBlockList& GlobalList();

// The head of the request chain: the current target selection, or null.
TrustlistRequest* CurrentRequest();
// Frees every record of the request chain and leaves it empty.
void ReleaseRequestChain();
// Makes `record` (a ZeroAlloc allocation, next = null) the chain's last record.
void AppendRequest(TrustlistRequest* record);

}  // namespace tl::entry
