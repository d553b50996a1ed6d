// The hash list imports: a whole list from a text file of size/CRC pairs.
#pragma once

#include <cstdint>

namespace tl::entry {

// Selects "TrustCustom.mnf" with stream "ProgramList" (program_list non-zero)
// or "BlockList", adds one block per used line of the file at `path` and
// commits. Returns the commit's result; 0 without any change (no selection,
// no list change, no commit, no notification) when the file cannot be opened.
// A read that fails after the open ends the import as a failed commit ends:
// the stream stays as it was, the selection is the import's, the list is
// emptied, the client is notified, and the result is 0.
uint32_t ImportHashList(const wchar_t* path, int32_t program_list);

}  // namespace tl::entry
