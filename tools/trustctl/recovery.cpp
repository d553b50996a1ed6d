#include "recovery.h"

#include "format.h"
#include "minifile/journal.h"

namespace tl::ctl {

std::string InterruptedReplacementNote(const std::u16string& container) {
  switch (InspectJournal(container.c_str())) {
    case JournalState::kComplete:
      return "interrupted-replacement: a stream replacement was interrupted; its complete "
             "journal (" +
             PrintablePath(container) +
             "-journal) rolls the container back to the "
             "older stream on the next edit or commit";
    case JournalState::kIncomplete:
      return "interrupted-replacement: a stream replacement was interrupted before it changed "
             "the container; its incomplete journal (" +
             PrintablePath(container) + "-journal) is discarded on the next edit or commit";
    case JournalState::kNone:
      break;
  }
  return "";
}

const char* JournalStateName(const std::u16string& container) {
  switch (InspectJournal(container.c_str())) {
    case JournalState::kComplete:
      return "complete";
    case JournalState::kIncomplete:
      return "incomplete";
    case JournalState::kNone:
      break;
  }
  return "none";
}

bool RecoverBeforeEdit(const std::u16string& container, Io& io, std::string* error) {
  const JournalState state = InspectJournal(container.c_str());
  if (state == JournalState::kNone) return true;
  if (!RecoverContainer(container.c_str())) {
    *error = PrintablePath(container) +
             ": an interrupted replacement could not be recovered (the journal remains); "
             "nothing was written";
    return false;
  }
  Complain(io, PrintablePath(container) +
                   (state == JournalState::kComplete
                        ? ": an interrupted replacement was rolled back to the older stream"
                        : ": the incomplete journal of an interrupted replacement was discarded"));
  return true;
}

}  // namespace tl::ctl
