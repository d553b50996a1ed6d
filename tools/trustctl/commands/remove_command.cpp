// trustctl remove: keeps a stream's entries byte for byte in stored order,
// but those asked for by name key or fingerprint.
#include <CLI/CLI.hpp>
#include <memory>

#include "blocklist/program_block.h"
#include "commands/cli_options.h"
#include "commands/command.h"
#include "commands/edit_args.h"
#include "common/u16.h"
#include "edit/edit_session.h"
#include "edit/write_road.h"
#include "entry/hash_list.h"
#include "io/format.h"
#include "io/input_file.h"
#include "trustctl.h"
#include "view/container_view.h"
#include "view/payload_view.h"

namespace tl::ctl {
namespace {

struct RemoveOptions {
  std::string target;
  std::vector<std::string> names;
  std::vector<std::string> paths;   // --path P: the name add --path P stores
  std::vector<std::string> hashes;  // SIZE CRC pairs, flattened
  std::vector<std::string> files;
  WriteRules rules;
};

// What remove is asked to take out: a name key or a fingerprint, with the
// text it was asked by.
struct Wanted {
  bool by_fingerprint;
  uint64_t value;
  std::string shown;
  std::u16string name;  // asked by name: the name
  bool found = false;
};

// Reads remove's NAMEs, --hash pairs and --file fingerprints; kBuilt, or the
// exit code after saying why not.
int ParseWanted(const RemoveOptions& o, std::vector<Wanted>* wanted, Io& io) {
  std::string error;
  std::vector<std::u16string> names;
  for (const std::string& n : o.names) names.push_back(Utf8ToU16(n));
  for (const std::string& p : o.paths) names.push_back(ProgramNameOfPath(Utf8ToU16(p)));
  for (const std::u16string& name : names) {
    const uint64_t key = ComputeNameKey(name.c_str());
    if (!name.empty() && key == 0) {
      Complain(io, "out of memory while computing a name key; nothing was written");
      return kExitFailure;
    }
    wanted->push_back({false, key, "\"" + Printable(std::u16string_view(name)) + "\"", name});
  }
  for (size_t i = 0; i + 1 < o.hashes.size(); i += 2) {
    uint32_t size = 0, crc = 0;
    if (!ParseHashPair({o.hashes[i], o.hashes[i + 1]}, &size, &crc, &error)) {
      Complain(io, error);
      return kExitUsage;
    }
    const uint64_t fp = (uint64_t{size} << 32) | crc;
    wanted->push_back({true, fp, "fingerprint " + Hex64(fp), {}});
  }
  for (const std::string& f : o.files) {
    InputFile in;
    uint64_t fp = 0, full = 0;
    if (!in.Open(f, "file", &error) || !SequentialFingerprint(in, &fp, &full, &error)) {
      Complain(io, error);
      return kExitFailure;
    }
    wanted->push_back({true, fp, "fingerprint " + Hex64(fp) + " of " + in.shown(), {}});
  }
  return kBuilt;
}

// remove's part of the write road: every stored entry but the ones asked for,
// kept byte for byte in stored order.
class RemoveEdit final : public ListEdit {
 public:
  explicit RemoveEdit(std::vector<Wanted> wanted) : wanted_(std::move(wanted)) {}

  bool ReadsStored(LoadOptions* options) const override {
    ReadForEdit(options, /*missing_ok=*/false);
    return true;
  }

  int Build(WriteRoad&, const StreamContents& stored, BuiltList* out, Io& io) override {
    stored_ = &stored;
    size_t removed = 0;
    for (size_t i = 0; i < stored.view.blocks.size(); ++i) {
      const DecodedProgramBlock& b = stored.view.blocks[i].decoded;
      bool drop = false;
      for (Wanted& w : wanted_) {
        const bool hit = w.by_fingerprint
                             ? (b.flags & PB_FINGERPRINT) != 0 && b.fingerprint == w.value
                             : w.value != 0 && b.key == w.value;
        if (hit) w.found = drop = true;
        // A name finds entries by its key, which an entry of another name may share.
        if (hit && !w.by_fingerprint && OtherName(w.name, b.name)) {
          out->collisions.push_back({b.key, b.name,
                                     "entry " + std::to_string(i + 1) + " of the stream", w.name,
                                     "the NAME to remove"});
        }
      }
      if (drop) {
        ++removed;
      } else if (list_.AddBlockCopy(stored.BlockBytes(i)) == 0) {
        Complain(io, "out of memory while building the list; nothing was written");
        return kExitFailure;
      }
    }
    out->list = &list_;
    out->entries = list_.GetCount();
    out->change = removed != 0;
    collided_ = !out->collisions.empty();
    return kBuilt;
  }

  int Report(const RoadResult& r, Io& io) override {
    if (r.end == RoadEnd::kCollisionsHeld) return kExitFindings;
    bool all_found = !collided_;  // exit 1 too when entries of other names went
    // Printed once the list is written (or left as it was), so that a failed
    // write never reads as a done removal.
    for (const Wanted& w : wanted_) {
      all_found = all_found && w.found;
      if (!io.quiet || !w.found) {
        io.out << (w.found ? "removed " : "not present: ") << w.shown
               << (w.found && !w.by_fingerprint ? " key " + Hex64(w.value) : "")
               << (w.found || w.by_fingerprint ? "" : EndingLike(w.name)) << "\n";
      }
    }
    if (r.end == RoadEnd::kWritten) {
      io.out << "wrote " << r.target << ": " << list_.GetCount() << " blocks, " << r.payload_bytes
             << "-byte payload\n";
    } else {
      io.out << r.target << " is unchanged\n";
    }
    return all_found ? kExitOk : kExitFindings;
  }

 private:
  // The stored names that end like `name` (A-Z folded, a trailing "@*" of
  // either set aside), as a hint after "not present": "vim.exe" finds
  // "vim.exe@*" and "C:\\tools\\vim.exe". Empty when there are none.
  std::string EndingLike(const std::u16string& name) const {
    const auto bare = [](std::u16string s) {
      if (s.size() >= 2 && s.compare(s.size() - 2, 2, u"@*") == 0) s.resize(s.size() - 2);
      return s;
    };
    const std::u16string asked = bare(name);
    std::string hint;
    size_t shown = 0;
    for (const PayloadBlock& b : stored_->view.blocks) {
      const std::u16string held = bare(b.decoded.name);
      if (asked.empty() || held.size() < asked.size() ||
          !U16EqualFoldAscii(held.c_str() + held.size() - asked.size(), asked.c_str())) {
        continue;
      }
      if (++shown > 5) {
        hint += ", ...";
        break;
      }
      hint += (shown == 1 ? "; stored names that end like it: " : ", ") + std::string("\"") +
              Printable(std::u16string_view(b.decoded.name)) + "\"";
    }
    return hint;
  }

  std::vector<Wanted> wanted_;
  CVarBlockList list_;
  bool collided_ = false;
  const StreamContents* stored_ = nullptr;
};

int RunRemove(const RemoveOptions& o, Io& io) {
  if (o.names.empty() && o.paths.empty() && o.hashes.empty() && o.files.empty()) {
    Complain(io, "remove needs at least one NAME, --path P, --hash SIZE CRC or --file F");
    return kExitUsage;
  }
  if (o.hashes.size() % 2 != 0) {
    Complain(io, "--hash takes SIZE CRC, two numbers; the last --hash has one");
    return kExitUsage;
  }
  WriteOrder order;
  WriteRules rules = o.rules;
  rules.new_stream = false;  // remove never creates a stream
  if (!ParseTarget(o.target, rules, &order, io)) return kExitUsage;
  std::vector<Wanted> wanted;
  const int parsed = ParseWanted(o, &wanted, io);
  if (parsed != kBuilt) return parsed;
  RemoveEdit edit(std::move(wanted));
  return WriteRoad(order, io).Drive(edit);
}

}  // namespace

Runner DeclareRemove(CLI::App& app) {
  auto o = std::make_shared<RemoveOptions>();
  CLI::App* s = app.add_subcommand(
      "remove",
      "Keeps the stream's entries except those whose name key equals that of a NAME\n"
      "or of the name add --path P stores (names compare folding only A-Z), or whose\n"
      "fingerprint is a --hash pair or a --file's. Exit 1 when something asked for was\n"
      "not there (a NAME not there is shown with the stored names that end like it),\n"
      "or when a NAME's key is held by an entry of another name (nothing written\n"
      "unless --allow-collisions). Removing the last entries needs --allow-empty.");
  Positional(s, "CONTAINER", o->target, "CONTAINER or CONTAINER:STREAM");
  s->add_option("NAME", o->names, "entry names");
  s->add_option("--path", o->paths,
                "remove the program add --path P adds: its name by the library's rule")
      ->type_name("P");
  s->add_option("--hash", o->hashes, "remove entries with this fingerprint")
      ->expected(2)
      ->type_name("SIZE CRC")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  s->add_option("--file", o->files, "remove entries with the fingerprint of file F")
      ->type_name("F");
  DeclareWriteRules(s, o->rules, true, false);
  return [o](Io& io) { return RunRemove(*o, io); };
}

}  // namespace tl::ctl
