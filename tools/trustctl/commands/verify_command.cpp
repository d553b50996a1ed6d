// trustctl verify: every check of the checked reader, then each stream's
// payload structure and each program block's structure.
#include <CLI/CLI.hpp>
#include <memory>

#include "commands/cli_options.h"
#include "commands/command.h"
#include "common/u16.h"
#include "edit/capacity.h"
#include "edit/soundness.h"
#include "io/format.h"
#include "io/json_out.h"
#include "trustctl.h"
#include "view/container_view.h"
#include "view/journal_notes.h"

namespace tl::ctl {
namespace {

struct VerifyOptions {
  bool json = false;
  std::string container;
};

int RunVerify(const VerifyOptions& o, Io& io) {
  const std::u16string path = Utf8ToU16(o.container);
  ContainerReader reader;
  std::string error;
  if (!OpenReader(path, &reader, io, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  std::vector<Problem> problems = ContainerProblems(reader);
  if (Problem p; JournalNote(path, reader.journal_state(), &p.code, &p.text)) {
    problems.insert(problems.begin(), p);
  }
  if (o.json) {
    Json doc;
    doc["container"] = JsonText(path);
    doc["sound"] = problems.empty();
    doc["journal"] = JournalStateName(reader.journal_state());
    Json defects = Json::array();
    for (const Problem& p : problems) {
      Json d;
      d["code"] = p.code;
      if (p.entry >= 0) {
        d["entry"] = p.entry;
        d["stream"] = JsonText(p.stream);
      }
      if (p.table_block >= 0) d["block"] = p.table_block;
      if (p.program_block > 0) d["programBlock"] = p.program_block;
      if (p.payload_offset >= 0) d["payloadOffset"] = p.payload_offset;
      d["text"] = p.text;
      d["line"] = ProblemLine(path, p);
      defects.push_back(d);
    }
    doc["defects"] = defects;
    if (reader.header_valid()) {
      const Capacity c = CapacityOf(reader);
      doc["capacity"] = {
          {"blocksUsed", c.used},
          {"blocksFree", c.free},
          {"dataBlocks", c.data_blocks},
          {"blockSize", c.block_size},
          {"directorySlotsFree", c.dir_free},
          {"newStreamEntriesFit", EntriesThatFit(NewStreamRoom(reader), kPayloadOverhead)}};
    }
    PrintJson(io.out, doc);
  } else {
    if (problems.empty()) {
      io.out << Shown(path) << ": ok\n";
    } else {
      for (const Problem& p : problems) io.out << ProblemLine(path, p) << "\n";
    }
    if (reader.header_valid() && !io.quiet) {
      io.out << Shown(path) << ": " << CapacityText(CapacityOf(reader)) << "\n";
      for (const DirEntryInfo& e : reader.entries()) {
        if (!e.present()) continue;
        uint64_t current = 0;
        const uint64_t room = StreamRoom(reader, e.name, &current);
        io.out << Shown(path) << ": stream \"" << Printable(std::u16string_view(e.name))
               << "\": " << EntriesThatFit(room, current) << " more 200-byte entries fit\n";
      }
    }
  }
  return problems.empty() ? kExitOk : kExitFindings;
}

}  // namespace

Runner DeclareVerify(CLI::App& app) {
  auto o = std::make_shared<VerifyOptions>();
  CLI::App* s = app.add_subcommand(
      "verify",
      "Checks the header, table, directory and chains, each stream's payload and each\n"
      "program block, and shows the capacity. Prints \"ok\" or one line per defect, each\n"
      "with a sentence saying what is wrong.");
  s->add_flag("--json", o->json, "one JSON document instead of text");
  Positional(s, "CONTAINER", o->container, "the container");
  return [o](Io& io) { return RunVerify(*o, io); };
}

}  // namespace tl::ctl
