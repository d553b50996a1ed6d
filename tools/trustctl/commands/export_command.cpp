// trustctl export: a list as text for version control and review. jsonl: one
// object per entry, in list order, with every field (and the stored bytes where
// the fields cannot rebuild them); hashlist: "size crc" lines, which only a list
// of fingerprint-only entries can become without loss.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "blocklist/program_block.h"
#include "commands/cli_options.h"
#include "commands/command.h"
#include "edit/write_guards.h"
#include "entry/hash_list.h"
#include "io/format.h"
#include "io/output_file.h"
#include "trustctl.h"
#include "view/container_view.h"
#include "view/entry_json.h"

namespace tl::ctl {
namespace {

struct ExportOptions {
  std::string format = "jsonl";
  std::string output = "-";
  bool skip_other = false;
  std::string target;
};

// What an export writes, found in one walk over the payload: where each
// block lies (jsonl) or the hash list's lines, never the document whole.
struct ExportPlan {
  std::vector<std::pair<uint32_t, uint32_t>> blocks;  // offset, size
  std::string hash_lines;
  size_t skipped = 0;  // entries --skip-other left out
};

// Decides whether the list can be exported as asked. Odd entries are exported
// with their bytes; a payload whose blocks cannot all be told apart is not a
// list that can be exported without loss. False with *error.
bool PlanExport(const ExportOptions& o, const StreamRef& ref, const StreamContents& contents,
                ExportPlan* plan, std::string* error) {
  const bool jsonl = o.format == "jsonl";
  bool whole = true;
  size_t index = 0;
  std::string refusal;
  const PayloadView v =
      WalkPayload(contents.payload.data(), contents.payload.size(), [&](const PayloadBlock& pb) {
        const DecodedProgramBlock& b = pb.decoded;
        ++index;
        whole = whole && (b.defects & kPbBoundsDefects) == 0;
        if (jsonl) {
          plan->blocks.emplace_back(pb.offset, b.size);
        } else if (!IsHashListEntry(b) || b.defects != 0) {
          if (o.skip_other) {
            ++plan->skipped;
          } else if (refusal.empty()) {
            refusal = "entry " + std::to_string(index) + " \"" +
                      Printable(std::u16string_view(b.name)) +
                      "\" is not a fingerprint-only entry; a hash list cannot hold it (use "
                      "--skip-other to leave such entries out); nothing was written";
          }
        } else {
          plan->hash_lines += HashLine(b.fingerprint) + "\n";
        }
      });
  for (const PayloadIssue& issue : v.issues) whole = whole && issue.block >= 0;
  if (!whole) {
    *error = Shown(ref.container) + ": \"" + Printable(std::u16string_view(ref.stream)) +
             "\": damaged payload (" +
             (v.issues.empty() ? std::string("a block's size is unusable") : v.issues[0].text) +
             "); only a sound list is exported";
    return false;
  }
  *error = refusal;
  return refusal.empty();
}

int RunExport(const ExportOptions& o, Io& io) {
  if (o.format != "jsonl" && o.format != "hashlist") {
    Complain(io, "--format is jsonl or hashlist");
    return kExitUsage;
  }
  StreamRef ref;
  std::string error;
  if (!ParseStreamRef(o.target, &ref, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  // The output is never the container it is made from (-o truncating its own
  // input would lose every stream).
  if (!CheckNotContainer(o.output, "output file", ref.container, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  StreamContents contents;
  LoadOptions options;
  options.keep_blocks = false;
  if (!LoadList(ref, options, &contents, io, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  ExportPlan plan;
  if (!PlanExport(o, ref, contents, &plan, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  Output out;
  if (!out.Open(o.output, io, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  if (o.format == "jsonl") {
    for (const auto& [offset, size] : plan.blocks) {
      out << JsonLine(EntryToJson(contents.payload.data() + offset, size)) << "\n";
    }
  } else {
    out << plan.hash_lines;
  }
  if (!out.Commit(&error)) {
    Complain(io, error);
    return kExitFailure;
  }
  if (plan.skipped != 0) {
    Complain(io,
             std::to_string(plan.skipped) + " entries that are not fingerprint-only were left out");
  }
  return kExitOk;
}

}  // namespace

Runner DeclareExport(CLI::App& app) {
  auto o = std::make_shared<ExportOptions>();
  CLI::App* s = app.add_subcommand(
      "export",
      "Writes a list as text, in list order. jsonl: one JSON object per entry with every\n"
      "field (name, key, kind, flags, tokens, texts, values, link time stamp,\n"
      "fingerprint) and, for an entry those fields cannot rebuild byte for byte, its\n"
      "stored bytes in base64 (\"bytes\"). hashlist: \"size crc\" lines; a list holding\n"
      "anything but fingerprint-only entries fails (exit 2, nothing written). -o FILE\n"
      "is written beside FILE and renamed over it (a FIFO or device is written\n"
      "directly); an -o that is the container itself is refused.");
  s->add_option("--format", o->format, "jsonl (default) or hashlist")
      ->check(CLI::IsMember({"jsonl", "hashlist"}));
  s->add_option("-o,--output", o->output, "the file to write; '-' (default) is standard output");
  s->add_flag("--skip-other", o->skip_other, "hashlist: leave other entries out");
  Positional(s, "CONTAINER", o->target, "CONTAINER or CONTAINER:STREAM");
  return [o](Io& io) { return RunExport(*o, io); };
}

}  // namespace tl::ctl
