// The backends' side of OpenContainerForWriter: one attempt at the open and
// the hold, and a pause between attempts. The waiting rule itself is portable
// (writer_open.cpp), so both backends wait alike.
#pragma once

#include <cstdint>

#include "platform/file.h"

namespace tl::platform::detail {

// One attempt: kOk with out->file held; kInUse when another writer holds the
// container or the name changed under the open (worth another attempt);
// kNotRegular or kFailed (with out->system_error) when retrying cannot help.
WriterOpenStatus TryOpenWriter(const char16_t* path, WriterOpen* out);

// The same for a reader's snapshot hold (OpenContainerForReader): kInUse while
// a writer holds the container.
WriterOpenStatus TryOpenReader(const char16_t* path, WriterOpen* out);

// Sleeps for about `ms` milliseconds.
void PauseMs(uint32_t ms);

}  // namespace tl::platform::detail
