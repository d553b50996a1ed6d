// trustctl merge: the lists of several teams into one. DST keeps its entries in
// its order; each SRC entry whose key DST does not hold is appended, in SRC
// order. An entry whose key DST holds with other content is a conflict: both
// versions are reported and DST's is kept, or SRC's with --prefer src (in DST's
// place). Identical entries are not conflicts.
#include <CLI/CLI.hpp>
#include <memory>
#include <unordered_map>

#include "blocklist/block_header.h"
#include "commands/cli_options.h"
#include "commands/command.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "edit/capacity.h"
#include "edit/edit_session.h"
#include "edit/write_road.h"
#include "entry/list_payload.h"
#include "io/format.h"
#include "io/json_out.h"
#include "platform/path_info.h"
#include "trustctl.h"
#include "view/block_compare.h"
#include "view/block_print.h"
#include "view/container_view.h"
#include "view/journal_notes.h"

namespace tl::ctl {
namespace {

struct MergeOptions {
  bool dry_run = false;
  bool json = false;
  std::string prefer = "dst";
  std::string dst;
  std::vector<std::string> srcs;
  WriteRules rules;
};

struct Entry {
  std::vector<uint8_t> bytes;  // the stored block
  DecodedProgramBlock decoded;
};

struct Added {
  std::string source;
  size_t entry;
  DecodedProgramBlock decoded;
};

struct Conflict {
  std::string source;
  size_t entry;
  DecodedProgramBlock dst, src;
};

LoadOptions SoundOptions(bool missing_ok) {
  LoadOptions options;
  options.missing_ok = missing_ok;
  options.require_sound = true;
  return options;
}

// merge's part of the write road: DST's entries in its order, then each SRC
// entry of a key DST lacks; a key both hold with other content is a conflict.
class MergeEdit final : public ListEdit {
 public:
  MergeEdit(const MergeOptions& o, const StreamRef& dst, const std::vector<StreamRef>& srcs)
      : o_(o), dst_(dst), srcs_(srcs) {}

  bool ReadsStored(LoadOptions* options) const override {
    *options = SoundOptions(/*missing_ok=*/true);
    return true;
  }

  int Build(WriteRoad& road, const StreamContents& stored, BuiltList* out, Io& io) override {
    for (size_t i = 0; i < stored.view.blocks.size(); ++i) {
      const DecodedProgramBlock& b = stored.view.blocks[i].decoded;
      const uint8_t* p = stored.BlockBytes(i);
      by_key_.emplace(b.key, entries_.size());
      entries_.push_back({std::vector<uint8_t>(p, p + b.size), b});
    }
    for (const StreamRef& src : srcs_) {
      StreamContents c;
      std::string error;
      if (!road.LoadOther(src, SoundOptions(/*missing_ok=*/false), &c, &error)) {
        Complain(io, error);
        return kExitFailure;
      }
      Take(Shown(src.container) + ":" + Printable(std::u16string_view(src.stream)), c, out);
    }
    for (Entry& e : entries_) {
      e.bytes.resize(e.bytes.size() + kSpareBytes, 0);
      if (list_.AddBlockCopy(e.bytes.data()) == 0) {
        Complain(io, "out of memory while building the list; nothing was written");
        return kExitFailure;
      }
    }
    out->list = &list_;
    out->entries = blocks_ = list_.GetCount();
    out->change = !added_.empty() || replaced_ != 0;
    collided_ = !out->collisions.empty();
    return kBuilt;
  }

  bool SpeaksJson() const override { return o_.json; }

  int Report(const RoadResult& r, Io& io) override {
    if (r.end == RoadEnd::kCollisionsHeld) return kExitFindings;
    if (o_.json) {
      PrintJson(io.out, ReportJson(r));
    } else {
      PrintText(r, io);
    }
    return conflicts_.empty() && !collided_ ? kExitOk : kExitFindings;
  }

 private:
  // The entries of one source, taken in its order.
  void Take(const std::string& source, const StreamContents& c, BuiltList* out) {
    const bool take_src = o_.prefer == "src";
    for (size_t i = 0; i < c.view.blocks.size(); ++i) {
      const DecodedProgramBlock& b = c.view.blocks[i].decoded;
      const uint8_t* p = c.BlockBytes(i);
      const std::string from = source + " entry " + std::to_string(i + 1);
      const auto it = by_key_.find(b.key);
      if (it == by_key_.end()) {
        by_key_.emplace(b.key, entries_.size());
        entries_.push_back({std::vector<uint8_t>(p, p + b.size), b});
        added_.push_back({source, i + 1, b});
        continue;
      }
      Entry& held = entries_[it->second];
      if (held.decoded.size == b.size && SameStoredBlock(held.bytes.data(), p, b.size)) {
        ++identical_;
        continue;
      }
      if (OtherName(held.decoded.name, b.name)) {
        // Not two versions of one entry but two entries a list cannot both hold.
        out->collisions.push_back({b.key, take_src ? held.decoded.name : b.name,
                                   take_src ? "DST" : from, take_src ? b.name : held.decoded.name,
                                   take_src ? from : "DST"});
      } else {
        conflicts_.push_back({source, i + 1, held.decoded, b});
      }
      if (take_src) {
        held = {std::vector<uint8_t>(p, p + b.size), b};
        ++replaced_;
      }
    }
  }

  Json ReportJson(const RoadResult& r) const {
    Json a = Json::array(), k = Json::array();
    for (const Added& x : added_) {
      a.push_back({{"source", x.source},
                   {"entry", x.entry},
                   {"name", JsonText(x.decoded.name)},
                   {"key", Hex64(x.decoded.key)}});
    }
    for (const Conflict& x : conflicts_) {
      Json fields = Json::array();
      for (const FieldChange& c : Changes(x.dst, x.src)) {
        fields.push_back({{"field", c.field}, {"dst", c.before_json}, {"src", c.after_json}});
      }
      k.push_back({{"source", x.source},
                   {"entry", x.entry},
                   {"key", Hex64(x.dst.key)},
                   {"kept", o_.prefer},
                   {"fields", fields},
                   {"dst", BlockJson(x.dst)},
                   {"src", BlockJson(x.src)}});
    }
    return Json{{"target", JsonText(dst_.container + u":" + dst_.stream)},
                {"added", a},
                {"conflicts", k},
                {"identical", identical_},
                {"written", r.end == RoadEnd::kWritten},
                {"created", r.created}};
  }

  void PrintText(const RoadResult& r, Io& io) const {
    if (!io.quiet) {
      for (const Added& x : added_) {
        io.out << "+ " << Q(x.decoded.name) << " key " << Hex64(x.decoded.key) << " from "
               << x.source << " entry " << x.entry << "\n";
      }
    }
    for (const Conflict& x : conflicts_) {
      io.out << "! conflict " << Q(x.dst.name) << " key " << Hex64(x.dst.key) << " with "
             << x.source << " entry " << x.entry << ": kept " << o_.prefer << "'s\n";
      for (const FieldChange& c : Changes(x.dst, x.src)) {
        io.out << "    " << c.field;
        if (!c.before.empty() || !c.after.empty()) {
          io.out << ": dst " << c.before << ", src " << c.after;
        }
        io.out << "\n";
      }
    }
    io.out << (o_.dry_run ? "dry run: " : "") << r.target << ": " << added_.size() << " added, "
           << conflicts_.size() << " conflicts, " << identical_ << " identical; ";
    if (r.end == RoadEnd::kWritten) {
      io.out << "wrote " << blocks_ << " blocks, " << r.payload_bytes << "-byte payload\n";
    } else if (r.end == RoadEnd::kWouldWrite) {
      io.out << "would hold " << blocks_ << " blocks; nothing was written\n";
    } else {
      io.out << "unchanged; nothing was written\n";
    }
  }

  const MergeOptions& o_;
  const StreamRef& dst_;
  const std::vector<StreamRef>& srcs_;
  std::vector<Entry> entries_;
  std::unordered_map<uint64_t, size_t> by_key_;
  std::vector<Added> added_;
  std::vector<Conflict> conflicts_;
  size_t identical_ = 0, replaced_ = 0, blocks_ = 0;
  bool collided_ = false;
  CVarBlockList list_;
};

int RunMerge(const MergeOptions& o, Io& io) {
  if (o.prefer != "dst" && o.prefer != "src") {
    Complain(io, "--prefer is dst or src");
    return kExitUsage;
  }
  WriteOrder order;
  order.mode = o.dry_run ? WriteMode::kDryRun : WriteMode::kWrite;
  order.rules = o.rules;
  std::string error;
  if (!ParseStreamRef(o.dst, &order.ref, &error) || !ValidStreamName(order.ref.stream, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  std::vector<StreamRef> srcs(o.srcs.size());
  for (size_t i = 0; i < o.srcs.size(); ++i) {
    if (!ParseStreamRef(o.srcs[i], &srcs[i], &error)) {
      Complain(io, error);
      return kExitUsage;
    }
  }
  MergeEdit edit(o, order.ref, srcs);
  return WriteRoad(order, io).Drive(edit);
}

}  // namespace

Runner DeclareMerge(CLI::App& app) {
  auto o = std::make_shared<MergeOptions>();
  CLI::App* s = app.add_subcommand(
      "merge",
      "Appends to DST, in SRC order, each entry whose key DST does not hold. An entry\n"
      "whose key DST holds with other content is a conflict: reported with both versions,\n"
      "DST's kept (--prefer src takes SRC's, in DST's place). Identical entries are not\n"
      "conflicts. Exit 0 when merged without conflict, 1 when conflicts were reported (the\n"
      "merge is still written unless --dry-run), 2 on errors. A SRC entry whose key DST\n"
      "holds under another name is a collision: exit 1, nothing written unless\n"
      "--allow-collisions.");
  s->add_flag("--dry-run", o->dry_run, "report without writing");
  s->add_flag("--json", o->json, "one JSON document");
  s->add_option("--prefer", o->prefer, "whose version a conflict keeps: dst (default) or src")
      ->check(CLI::IsMember({"dst", "src"}));
  Positional(s, "DST", o->dst, "DST[:STREAM], created when missing");
  s->add_option("SRC", o->srcs, "SRC[:STREAM]...")->required();
  DeclareWriteRules(s, o->rules, false, true);
  return [o](Io& io) { return RunMerge(*o, io); };
}

}  // namespace tl::ctl
