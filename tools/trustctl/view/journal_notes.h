// What trustctl says of an interrupted write. Every command meets one before
// it judges anything: a reader's open (ContainerReader::Open, a snapshot)
// rolls a complete journal of the container back under the writer's hold, or,
// where the container may not be written, shows the rolled-back state from
// memory and leaves the journal; an editing command's EditSession rolls it
// back under its own hold. Both say so on the error stream; verify and dump
// also report a journal that stays.
#pragma once

#include <string>

#include "io/io.h"
#include "minifile/container_reader.h"

namespace tl::ctl {

// Says on the error stream what opening `container` did with a journal:
// `recovered` kComplete, rolled back; kIncomplete, discarded; and what it
// left: kComplete, shown rolled back in memory; kForeign, another container's
// left alone.
void SayJournalMet(Io& io, const std::u16string& container, JournalState recovered,
                   JournalState left);

// Says on the error stream what a reader that changes nothing
// (ReadUntouched, view/container_view.h) did with the journal it found
// (`left`): kComplete, applied to its copy in memory, so the older stream is
// what it read; kIncomplete, of a write that had not changed the container,
// so its bytes stand; kForeign, another container's, not applied. Each time
// the container and its journal are left as they are.
void SayJournalLeftAlone(Io& io, const std::u16string& container, JournalState left);

// A journal that stays beside the container, as verify and dump report it:
// *code ("interrupted-replacement", "foreign-journal") and the sentence.
// False when none stays.
bool JournalNote(const std::u16string& container, JournalState left, std::string* code,
                 std::string* text);

// A short code for JSON: "none", "complete", "incomplete" or "foreign".
const char* JournalStateName(JournalState left);

}  // namespace tl::ctl
