// trustctl diff: the entries added, removed and changed between two streams,
// matched by key (the list's own identity of a program).
#include <CLI/CLI.hpp>
#include <memory>

#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "commands/cli_options.h"
#include "commands/command.h"
#include "io/format.h"
#include "io/json_out.h"
#include "trustctl.h"
#include "view/block_compare.h"
#include "view/block_print.h"
#include "view/container_view.h"
#include "view/entry_diff.h"

namespace tl::ctl {
namespace {

struct DiffOptions {
  bool json = false;
  std::string a, b;
};

// One list, read: its payload and its index (entry_diff.h).
struct Side {
  StreamRef ref;
  StreamContents contents;
  EntryIndex index;

  DecodedProgramBlock Decoded(size_t i) const {
    DecodedProgramBlock d;
    const uint32_t at = index.slots[i].offset;
    DecodeProgramBlock(contents.payload.data() + at, contents.payload.size() - at, &d);
    return d;
  }
};

bool LoadSide(const std::string& text, Side* side, Io& io) {
  std::string error;
  if (!ParseStreamRef(text, &side->ref, &error)) {
    Complain(io, error);
    return false;
  }
  LoadOptions options;
  options.keep_blocks = false;
  if (!LoadList(side->ref, options, &side->contents, io, &error)) {
    Complain(io, error);
    return false;
  }
  side->index = IndexPayload(side->contents.payload);
  if (side->index.issues != 0) {
    Complain(io, Shown(side->ref.container) + ": \"" +
                     Printable(std::u16string_view(side->ref.stream)) +
                     "\": " + std::to_string(side->index.issues) + " payload issue(s), first: " +
                     side->index.first_issue + "; comparing the blocks that could be read");
  }
  return true;
}

// A changed entry: its key, the fields that differ, and the entry before and after.
void PutChanged(JsonWriter& w, const DecodedProgramBlock& before,
                const DecodedProgramBlock& after) {
  w.BeginObject();
  w.Key("key");
  w.String(Hex64Text(before.key).view());
  w.Key("fields");
  w.BeginArray();
  for (const FieldChange& c : Changes(before, after)) {
    w.BeginObject();
    w.Key("field");
    w.String(c.field);
    w.Key("before");
    w.Value(c.before_json);
    w.Key("after");
    w.Value(c.after_json);
    w.EndObject();
  }
  w.EndArray();
  w.Key("before");
  PutBlockJson(w, before);
  w.Key("after");
  PutBlockJson(w, after);
  w.EndObject();
}

int RunDiff(const DiffOptions& o, Io& io) {
  Side a, b;
  if (!LoadSide(o.a, &a, io) || !LoadSide(o.b, &b, io)) {
    return kExitFailure;
  }
  const EntryDiff d = DiffEntries(a.contents.payload, a.index, b.contents.payload, b.index);
  const std::vector<size_t>& removed = d.removed;
  const std::vector<size_t>& added = d.added;
  const auto& changed = d.changed;
  const size_t unchanged = d.unchanged;
  const bool differ = d.differ();

  if (o.json) {
    // Written entry by entry: a diff of two big lists is never one document.
    constexpr size_t kPiece = size_t{64} << 10;
    JsonWriter w = JsonWriter::Pretty();
    w.BeginObject();
    w.Key("added");
    w.BeginArray();
    for (size_t j : added) {
      PutBlockJson(w, b.Decoded(j));
      w.FlushTo(io.out, kPiece);
    }
    w.EndArray();
    w.Key("removed");
    w.BeginArray();
    for (size_t i : removed) {
      PutBlockJson(w, a.Decoded(i));
      w.FlushTo(io.out, kPiece);
    }
    w.EndArray();
    w.Key("changed");
    w.BeginArray();
    for (const auto& [i, j] : changed) {
      PutChanged(w, a.Decoded(i), b.Decoded(j));
      w.FlushTo(io.out, kPiece);
    }
    w.EndArray();
    w.Key("unchanged");
    w.Uint(unchanged);
    w.EndObject();
    w.Raw("\n");
    w.FlushTo(io.out);
  } else {
    PrintChanges(io.out, a.contents.payload, a.index, b.contents.payload, b.index, d);
    io.out << added.size() << " added, " << removed.size() << " removed, " << changed.size()
           << " changed, " << unchanged << " unchanged\n";
  }
  return differ ? kExitFindings : kExitOk;
}

}  // namespace

Runner DeclareDiff(CLI::App& app) {
  auto o = std::make_shared<DiffOptions>();
  CLI::App* s =
      app.add_subcommand("diff",
                         "Entries added, removed and changed from A to B, matched by name key.\n"
                         "Exit 0 when the lists hold the same entries, 1 when they differ.");
  s->add_flag("--json", o->json, "one JSON document; values as JSON values");
  Positional(s, "A", o->a, "A[:STREAM]");
  Positional(s, "B", o->b, "B[:STREAM]");
  return [o](Io& io) { return RunDiff(*o, io); };
}

}  // namespace tl::ctl
