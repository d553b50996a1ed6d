#include "view/journal_notes.h"

#include "io/format.h"

namespace tl::ctl {

namespace {

std::string JournalName(const std::u16string& container) {
  return PrintablePath(container) + "-journal";
}

}  // namespace

void SayJournalMet(Io& io, const std::u16string& container, JournalState recovered,
                   JournalState left) {
  if (recovered == JournalState::kComplete) {
    Complain(io,
             Shown(container) + ": an interrupted replacement was rolled back to the older stream");
  } else if (recovered == JournalState::kIncomplete) {
    Complain(io, Shown(container) +
                     ": the incomplete journal of an interrupted replacement was discarded");
  }
  switch (left) {
    case JournalState::kComplete:
      Complain(io, Shown(container) +
                       ": an interrupted replacement is shown rolled back to the older stream; "
                       "the container cannot be written here, so its journal (" +
                       JournalName(container) +
                       ") stays until an edit or commit that may "
                       "write it rolls it back");
      break;
    case JournalState::kForeign:
      Complain(io, Shown(container) + ": " + JournalName(container) +
                       " is the journal of another container; it is left alone");
      break;
    case JournalState::kIncomplete:
    case JournalState::kNone:
      break;
  }
}

void SayJournalLeftAlone(Io& io, const std::u16string& container, JournalState left) {
  const std::string kept =
      "; the container and its journal (" + JournalName(container) + ") are left as they are";
  switch (left) {
    case JournalState::kComplete:
      Complain(io, Shown(container) +
                       ": an interrupted replacement was rolled back in memory: the older "
                       "stream is what was read" +
                       kept);
      break;
    case JournalState::kIncomplete:
      Complain(io, Shown(container) +
                       ": an interrupted replacement had not changed the container: its bytes "
                       "are read as they are" +
                       kept);
      break;
    case JournalState::kForeign:
      Complain(io, Shown(container) + ": " + JournalName(container) +
                       " is the journal of another container; it is left alone");
      break;
    case JournalState::kNone:
      break;
  }
}

bool JournalNote(const std::u16string& container, JournalState left, std::string* code,
                 std::string* text) {
  switch (left) {
    case JournalState::kComplete:
      *code = "interrupted-replacement";
      *text =
          "a stream replacement was interrupted and the container cannot be written here: "
          "it is shown as its rollback leaves it (the older stream), and its complete "
          "journal (" +
          JournalName(container) + ") stays until an edit or commit rolls it back";
      return true;
    case JournalState::kIncomplete:
      *code = "interrupted-replacement";
      *text =
          "a stream replacement was interrupted before it changed the container; its "
          "incomplete journal (" +
          JournalName(container) + ") is discarded on the next edit or commit";
      return true;
    case JournalState::kForeign:
      *code = "foreign-journal";
      *text = JournalName(container) +
              " belongs to another container (it does not match this one's header, table "
              "and directory): it is never applied or deleted, and a replacement that needs a "
              "journal is refused while it is there";
      return true;
    case JournalState::kNone:
      break;
  }
  return false;
}

const char* JournalStateName(JournalState left) {
  switch (left) {
    case JournalState::kComplete:
      return "complete";
    case JournalState::kIncomplete:
      return "incomplete";
    case JournalState::kForeign:
      return "foreign";
    case JournalState::kNone:
      break;
  }
  return "none";
}

}  // namespace tl::ctl
