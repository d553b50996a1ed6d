// trustctl recover: reads a damaged container as far as it can be read
// (view/salvage.h) and writes every stream and every sound entry it still
// holds into a new container, made through the library's store as a commit
// makes one, then says what it kept and what it left behind. The damaged
// container is evidence: nothing is written to it or beside it, and the new
// container is never a file that exists.
#include <CLI/CLI.hpp>
#include <bit>
#include <memory>
#include <unordered_map>

#include "blocklist/var_block_list.h"
#include "commands/cli_options.h"
#include "commands/command.h"
#include "common/u16.h"
#include "edit/edit_session.h"
#include "edit/soundness.h"
#include "edit/write_guards.h"
#include "entry/list_store.h"
#include "entry/list_stream.h"
#include "io/format.h"
#include "platform/path_info.h"
#include "platform/system.h"
#include "trustctl.h"
#include "view/container_view.h"
#include "view/journal_notes.h"
#include "view/salvage.h"

namespace tl::ctl {
namespace {

struct RecoverOptions {
  std::string damaged;
  std::string output;
};

// What became of one present stream of the damaged container.
struct StreamOutcome {
  const SalvagedStream* stream = nullptr;
  std::string not_written;             // why the new container lacks it; empty: written
  std::vector<PayloadIssue> findings;  // odd content of entries kept as stored
  // The stream was read only in part, and its payload did not end inside
  // that part: the rest of it is lost.
  bool lost_tail() const { return !stream->whole() && !stream->salvage.terminated; }
  bool dropped_any() const {
    return !not_written.empty() || lost_tail() || !stream->salvage.dropped.empty() ||
           !stream->salvage.duplicates.empty();
  }
};

// "1 entry", "2 entries".
std::string Count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ChainText(const ContainerReader& r, const SalvagedStream& s) {
  return std::string(DefectName(s.chain)) + ": " +
         DefectSentence(r, {s.chain, static_cast<int32_t>(s.entry.index), s.chain_block});
}

// The streams planned for the new container: each name folded as the
// directory folds it ('A'-'Z'), with its directory entry.
using PlannedNames = std::unordered_map<std::u16string, uint32_t>;

// Why a stream is not to be written into the new container, or "" (then it
// is planned): nothing of it could be read, or its name cannot be stored or
// was planned before.
std::string Unwritable(const ContainerReader& r, const SalvagedStream& s, PlannedNames* planned) {
  const PayloadSalvage& p = s.salvage;
  if (s.payload.empty()) {
    return "nothing of it could be read" + (s.chain != Defect::kNone ? ": " + ChainText(r, s) : "");
  }
  if (p.kept.empty() && (!p.dropped.empty() || (!s.whole() && !p.terminated))) {
    return "no entry of it could be read";
  }
  std::string why;
  if (!ValidStreamName(s.entry.name, &why)) return "its name cannot be stored: " + why;
  std::u16string folded = s.entry.name;
  for (char16_t& c : folded) c = U16FoldAscii(c);
  const auto [it, first] = planned->emplace(std::move(folded), s.entry.index);
  if (!first) {
    return "a stream of the same name (directory entry " + std::to_string(it->second) +
           ") was recovered before it";
  }
  return "";
}

// Builds the stream's list from the blocks kept, in their order, and stores
// it; the payload as built names the odd content it keeps.
StoreStatus StoreStream(ListStore& store, StreamOutcome* o) {
  const SalvagedStream& s = *o->stream;
  CVarBlockList list;
  for (const SequenceBlock& b : s.salvage.kept) {
    if (list.AddBlockCopy(s.payload.data() + b.offset) == 0) return StoreStatus::kNoMemory;
  }
  ListPayload payload;
  if (!payload.Build(list)) {
    return ListPayloadSize(list) == 0 ? StoreStatus::kTooLarge : StoreStatus::kNoMemory;
  }
  const StoreStatus status = store.Write(s.entry.name.c_str(), payload.bytes, payload.size);
  if (status != StoreStatus::kOk) return status;
  for (PayloadIssue& issue : ParsePayload(payload.bytes, payload.size).issues) {
    if (issue.kind == IssueKind::kContent) o->findings.push_back(std::move(issue));
  }
  return status;
}

// Whether the container at `path` reads back as one an edit accepts.
bool ReadsBackSound(const std::u16string& path) {
  ListStore store;
  ContainerReader reader;
  if (store.Open(path.c_str(), kCommitCreationParameters) != StoreStatus::kOk ||
      !store.OpenReader(&reader)) {
    return false;
  }
  for (const Problem& p : ContainerProblems(reader)) {
    if (p.stops_edit) return false;
  }
  return true;
}

// Stores one stream into the new container, through an open of its own: an
// open takes in one new stream (the directory slots it holds are those of the
// file and one more). The first open makes the file and must be the one that
// does (*made then says it exists); a later one must find it. Else *why.
StoreStatus StoreInNew(const std::u16string& path, StreamOutcome* o, bool* made, std::string* why) {
  ListStore store;
  const StoreStatus opened = store.Open(path.c_str(), kCommitCreationParameters);
  if (opened != StoreStatus::kOk) {
    *made = *made || store.created();  // an open that failed after making the file
    *why = StoreStatusText(opened);
    if (store.system_error() != 0) *why += ": " + platform::SystemErrorText(store.system_error());
    return opened;
  }
  if (store.created() == *made) {
    *why = *made ? "it went away while it was written" : "a file appeared there meanwhile";
    return StoreStatus::kOpenFailed;
  }
  *made = true;
  const StoreStatus status = StoreStream(store, o);
  if (status != StoreStatus::kOk) *why = StoreStatusText(status);
  return status;
}

// Makes the new container and writes every stream to be written. A stream
// that does not fit is left out and said; any other failure removes the new
// container (false with *error).
bool WriteNew(const std::u16string& path, std::vector<StreamOutcome>* outcomes,
              std::string* error) {
  bool made = false;
  size_t written = 0;
  std::string why;
  for (StreamOutcome& o : *outcomes) {
    if (!o.not_written.empty()) continue;
    std::string failed;
    const StoreStatus status = StoreInNew(path, &o, &made, &failed);
    if (status == StoreStatus::kNoRoom || status == StoreStatus::kTooLarge) {
      o.not_written = "it does not fit in the new container: " + failed;
    } else if (status == StoreStatus::kOk) {
      ++written;
    } else {
      why = failed;
      break;
    }
  }
  if (why.empty() && written == 0) why = "no stream fits in it";
  if (why.empty() && !ReadsBackSound(path)) why = "it does not read back sound";
  if (why.empty()) return true;
  const bool gone = !made || platform::RemoveFile(path.c_str());
  *error = Shown(path) + ": " + why +
           (gone ? "; no new container is left there" : "; remove what is left there");
  return false;
}

std::string HeaderLine(const ContainerSalvage& s) {
  const HeaderCandidate& h = s.header;
  const Geometry& g = s.reader.geometry();
  const std::string counts = " (" + std::to_string(g.table_entries) + " table entries, " +
                             std::to_string(g.block_size) + "-byte blocks, " +
                             std::to_string(g.dir_entries) + " directory entries)";
  std::string how;
  switch (h.guess) {
    case HeaderGuess::kAsStored:
      return "";
    case HeaderGuess::kOneBitRepaired:
      how = "one flipped bit put back (byte " + std::to_string(h.repaired_byte) + ", bit " +
            std::to_string(std::countr_zero(h.repaired_mask)) + ")";
      break;
    case HeaderGuess::kStoredGeometry:
      how = "read with its stored counts" + counts;
      break;
    case HeaderGuess::kCommitGeometry:
      how = "read with the counts a commit makes a container with" + counts;
      break;
    case HeaderGuess::kDefaultGeometry:
      how = "read with the default creation counts" + counts;
      break;
  }
  return std::string("header: ") + DefectName(s.header_defect) + ": " +
         DefectSentence(s.reader, {s.header_defect, -1, -1}) + "; " + how;
}

void ReportStream(const std::string& where, const ContainerReader& r, const StreamOutcome& o,
                  Io& io) {
  const SalvagedStream& s = *o.stream;
  const PayloadSalvage& p = s.salvage;
  const std::string at =
      where + "stream \"" + Printable(std::u16string_view(s.entry.name)) + "\": ";
  if (!o.not_written.empty()) {
    io.out << at << "not recovered: " << o.not_written << "\n";
  } else {
    io.out << at << "kept " << Count(p.kept.size(), "entry", "entries") << "\n";
  }
  for (const std::string& note : p.header_notes) {
    io.out << at << "payload header written anew: " << note << "\n";
  }
  for (const SalvageDrop& d : p.dropped) {
    io.out << at << "dropped " << d.length << " damaged bytes at payload offset " << d.offset
           << ": " << d.reason << "\n";
  }
  for (const SalvageDuplicate& d : p.duplicates) {
    io.out << at << "dropped entry \"" << Printable(std::u16string_view(d.name))
           << "\" at payload offset " << d.offset << ": the same key " << Hex64(d.key)
           << " as entry " << d.kept_index + 1 << ", which is kept\n";
  }
  if (o.lost_tail()) {
    io.out << at << "payload bytes " << s.payload.size() << " to " << s.entry.size
           << " could not be read: " << ChainText(r, s) << "\n";
  }
  for (const PayloadIssue& f : o.findings) {
    io.out << at << "entry " << f.block + 1 << " kept as stored: " << f.text << "\n";
  }
}

// "N entries in M streams recovered into NEW from DAMAGED; dropped: ..."
std::string Summary(const std::u16string& damaged, const std::u16string& fresh,
                    const std::vector<StreamOutcome>& outcomes) {
  size_t entries = 0, streams = 0, ranges = 0, duplicates = 0, tails = 0, lost = 0;
  for (const StreamOutcome& o : outcomes) {
    // A stream not recovered counts once, whatever else it lost.
    if (!o.not_written.empty()) {
      ++lost;
      continue;
    }
    const PayloadSalvage& p = o.stream->salvage;
    ++streams;
    entries += p.kept.size();
    ranges += p.dropped.size();
    duplicates += p.duplicates.size();
    tails += o.lost_tail() ? 1 : 0;
  }
  std::string dropped;
  const auto add = [&dropped](size_t n, const char* one, const char* many) {
    if (n != 0) dropped += (dropped.empty() ? "" : ", ") + Count(n, one, many);
  };
  add(ranges, "damaged range", "damaged ranges");
  add(duplicates, "duplicate entry", "duplicate entries");
  add(tails, "unread stream end", "unread stream ends");
  add(lost, "stream", "streams");
  return Shown(fresh) + ": " + Count(entries, "entry", "entries") + " in " +
         Count(streams, "stream", "streams") + " recovered from " + Shown(damaged) + "; " +
         (dropped.empty() ? "nothing was dropped" : "dropped: " + dropped);
}

// The new container is a path where nothing is: recover makes a container,
// it never writes into or over a file, the damaged container least of all.
int CheckNew(const RecoverOptions& o, const std::u16string& damaged, Io& io) {
  std::string error;
  if (o.output == "-") {
    Complain(io, "-o: recover writes a new container file, not standard output");
    return kExitUsage;
  }
  if (!CheckNotContainer(o.output, "new container", damaged, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  const std::u16string fresh = Utf8ToU16(o.output);
  if (platform::ExaminePath(fresh.c_str()).kind != platform::PathKind::kMissing) {
    Complain(io, PrintablePath(fresh) +
                     ": exists; recover writes only a new container (name a path where nothing "
                     "is); nothing was written");
    return kExitFailure;
  }
  return kExitOk;
}

int RunRecover(const RecoverOptions& o, Io& io) {
  const std::u16string damaged = Utf8ToU16(o.damaged);
  const std::u16string fresh = Utf8ToU16(o.output);
  if (const int refused = CheckNew(o, damaged, io); refused != kExitOk) return refused;
  ContainerSnapshot snapshot;
  std::string error;
  if (!ReadUntouched(damaged, &snapshot, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  SayJournalLeftAlone(io, damaged, snapshot.journal);
  ContainerSalvage salvage;
  if (!SalvageContainer(snapshot.bytes.get(), &salvage)) {
    Complain(io, Shown(damaged) +
                     ": nothing can be recovered: " + DefectName(salvage.header_defect) + ": " +
                     DefectSentence(salvage.reader, {salvage.header_defect, -1, -1}) +
                     "; nothing was written");
    return kExitFailure;
  }
  std::vector<StreamOutcome> outcomes;
  PlannedNames planned;
  for (const SalvagedStream& s : salvage.streams) {
    outcomes.push_back({&s, Unwritable(salvage.reader, s, &planned), {}});
  }
  bool any = false;
  for (const StreamOutcome& out : outcomes) any = any || out.not_written.empty();
  if (any && !WriteNew(fresh, &outcomes, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  const std::string where = Shown(damaged) + ": ";
  if (!io.quiet) {
    if (const std::string h = HeaderLine(salvage); !h.empty()) io.out << where << h << "\n";
    for (const StreamOutcome& out : outcomes) ReportStream(where, salvage.reader, out, io);
  }
  if (!any) {
    Complain(io, Shown(damaged) + ": nothing can be recovered; nothing was written");
    return kExitFailure;
  }
  io.out << Summary(damaged, fresh, outcomes) << "\n";
  bool dropped = false;
  for (const StreamOutcome& out : outcomes) dropped = dropped || out.dropped_any();
  return dropped ? kExitFindings : kExitOk;
}

}  // namespace

Runner DeclareRecover(CLI::App& app) {
  auto o = std::make_shared<RecoverOptions>();
  CLI::App* s = app.add_subcommand(
      "recover",
      "Reads a damaged container as far as it can be read and writes every stream and\n"
      "every sound entry it still holds into NEW, a new container made as a commit makes\n"
      "one. A header whose check fails is read with one flipped bit put back, or with\n"
      "its own, the commit's or the default counts; a cut chain gives the blocks before\n"
      "the cut; behind a damaged entry the reading resumes at the next sound one; of two\n"
      "entries with one key the first is kept. Says per stream the entries kept and what\n"
      "was dropped, and why. DAMAGED is never written to, nor its journal (an interrupted\n"
      "replacement is rolled back in memory). NEW must not exist. Exit 0: nothing was\n"
      "dropped; 1: something was; 2: nothing could be recovered, or NEW exists or\n"
      "cannot be written (it is then not left behind).");
  Positional(s, "DAMAGED", o->damaged, "the damaged container (only read)");
  s->add_option("-o,--output", o->output, "NEW: the container to make; a path where nothing is")
      ->required();
  return [o](Io& io) { return RunRecover(*o, io); };
}

}  // namespace tl::ctl
