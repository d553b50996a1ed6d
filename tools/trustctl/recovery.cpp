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

}  // namespace tl::ctl
