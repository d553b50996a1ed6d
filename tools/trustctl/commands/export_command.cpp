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
#include "io/json_out.h"
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

// What an export writes, made in the one walk over the payload that also
// judges it: the jsonl lines or the hash list's lines, held until the walk
// has found the list sound, so that a refusal writes nothing. Jsonl text is
// held in pieces, never copied to grow; text that outgrows the payload itself
// is not held: the walk then only notes where each block lies, and the lines
// are made once it is done. Memory stays within twice the payload, which
// reading the container takes anyway.
struct ExportPlan {
  static constexpr size_t kPiece = size_t{1} << 20;
  JsonWriter lines = JsonWriter::Compact();  // the newest lines, not yet a piece
  std::vector<std::string> pieces;           // the lines before them
  size_t held_bytes = 0;
  bool held = true;                                   // pieces and lines hold every entry
  std::vector<std::pair<uint32_t, uint32_t>> blocks;  // offset, size
  std::string hash_lines;
  size_t skipped = 0;  // entries --skip-other left out
};

// One jsonl line.
void PutLine(JsonWriter& out, const uint8_t* block, const DecodedProgramBlock& b,
             std::vector<uint8_t>* scratch) {
  PutEntryJson(out, block, b, scratch);
  out.Raw("\n");
}

// Holds the lines written so far as a piece once they make one; gives up
// holding past `limit` bytes.
void HoldLines(ExportPlan* plan, size_t limit) {
  const size_t size = plan->lines.text().size();
  if (size < ExportPlan::kPiece) return;
  plan->held_bytes += size;
  if (plan->held_bytes > limit) {
    plan->held = false;
    plan->pieces = std::vector<std::string>();
    plan->lines = JsonWriter::Compact();
    return;
  }
  plan->pieces.push_back(plan->lines.Take(ExportPlan::kPiece + 4096));
}

// Decides whether the list can be exported as asked. Odd entries are exported
// with their bytes; a payload whose blocks cannot all be told apart is not a
// list that can be exported without loss. False with *error.
bool PlanExport(const ExportOptions& o, const StreamRef& ref, const StreamContents& contents,
                ExportPlan* plan, std::string* error) {
  const bool jsonl = o.format == "jsonl";
  bool whole = true;
  size_t index = 0;
  std::string refusal;
  std::vector<uint8_t> scratch;
  const uint8_t* payload = contents.payload.data();
  const PayloadView v = WalkPayload(payload, contents.payload.size(), [&](const PayloadBlock& pb) {
    const DecodedProgramBlock& b = pb.decoded;
    ++index;
    whole = whole && (b.defects & kPbBoundsDefects) == 0;
    if (jsonl) {
      plan->blocks.emplace_back(pb.offset, b.size);
      if (!whole || !plan->held) return;
      PutLine(plan->lines, payload + pb.offset, b, &scratch);
      HoldLines(plan, contents.payload.size());
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
  if (o.format == "jsonl" && plan.held) {
    for (const std::string& piece : plan.pieces) out << piece;
    out << plan.lines.text();
  } else if (o.format == "jsonl") {
    constexpr size_t kPiece = size_t{64} << 10;
    JsonWriter lines = JsonWriter::Compact();
    std::vector<uint8_t> scratch;
    DecodedProgramBlock b;
    for (const auto& [offset, size] : plan.blocks) {
      DecodeProgramBlock(contents.payload.data() + offset, size, &b);
      PutLine(lines, contents.payload.data() + offset, b, &scratch);
      if (lines.text().size() >= kPiece) {
        out << lines.text();
        lines.Clear();
      }
    }
    out << lines.text();
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
