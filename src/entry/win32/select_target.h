// Target selection: which container file and stream the next commit writes.
#pragma once

#include <cstdint>

#include "trustlist/trustlist.h"

namespace tl::entry {

// Replaces the request record by a new one for "TrustCustom.mnf" (custom_file
// non-zero) or "TrustHash.mnf" beside the host module, stream "ProgramList"
// (program_list non-zero) or "BlockList", and empties the global list. Returns
// the new record, or null when none could be made: no memory, or no usable
// host module path (none, cut, without a folder, or too long for the target).
// The list is emptied in every case.
TrustlistRequest* SelectTarget(int32_t custom_file, int32_t program_list);

}  // namespace tl::entry
