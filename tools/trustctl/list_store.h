// Writing a list back into a container, as the library's commit does it: the
// commit's creation parameters, open (or create), one stream write of the
// list's payload, close. The editing commands call this only after everything
// was read and built, so a problem found earlier leaves the container as it was.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "blocklist/var_block_list.h"
#include "container_view.h"

namespace tl::ctl {

// The values the library's commit sets before it opens a container; a new
// container is made with them.
inline constexpr uint32_t kCommitBlockSize = 0x100000;
inline constexpr uint32_t kCommitTableEntries = 32;
inline constexpr uint32_t kCommitDirectoryEntries = 4;

// Stream names as the container stores them: 1 to 16 UTF-16 code units.
bool ValidStreamName(const std::u16string& name, std::string* error);

// Refuses a container that exists but is not sound: writing into it could make
// the damage worse or drop streams it still holds. A missing container, or an
// empty file, is fine (the open creates it).
bool CheckWritable(const std::u16string& container, std::string* error);

// Puts copies of the stored blocks of `contents` into `list`, in stored order,
// byte for byte as stored (AddBlock: a repeated key keeps the later block).
bool KeepEntries(const StreamContents& contents, CVarBlockList& list, std::string* error);

// The length of the payload the list would be stored as (payload header,
// serialized blocks, terminator), measured without exporting it.
size_t PayloadSizeOf(CVarBlockList& list);

// Stores `list` as stream `stream` of `container` with the commit's creation
// parameters (1 MiB blocks, 32 table entries, 4 directory entries for a new
// container), then opens the container again and checks that it holds the
// stream with the payload's length and is sound as a whole.
// On success *payload_bytes is the stored length.
bool StoreList(const std::u16string& container, const std::u16string& stream, CVarBlockList& list,
               uint32_t* payload_bytes, std::string* error);

}  // namespace tl::ctl
