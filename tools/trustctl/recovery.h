// A container whose last stream replacement was interrupted carries a journal
// beside it. verify and dump say so (they only read); every editing command
// has the recovery done by its EditSession, under the writer's hold (a
// complete journal rolls the container back to its older state, an incomplete
// one is discarded), so that it reads and rewrites the state the library
// itself would see on its next open.
#pragma once

#include <string>

#include "command.h"

namespace tl::ctl {

// "" when the container has no journal, else a sentence for verify and dump.
std::string InterruptedReplacementNote(const std::u16string& container);
// A short code for JSON: "none", "complete" or "incomplete".
const char* JournalStateName(const std::u16string& container);

}  // namespace tl::ctl
