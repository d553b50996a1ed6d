// trustctl diff: the entries added, removed and changed between two streams,
// matched by key (the list's own identity of a program).
#include "block_compare.h"
#include "block_print.h"
#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "command.h"
#include "container_view.h"
#include "entry_diff.h"
#include "format.h"
#include "json_out.h"
#include "trustctl.h"

namespace tl::ctl {
namespace {

struct Side {
  StreamRef ref;
  StreamContents contents;
};

bool LoadSide(const std::string& text, Side* side, Io& io) {
  side->ref = ParseStreamRef(text);
  std::string error;
  if (!LoadList(side->ref, LoadOptions(), &side->contents, &error)) {
    Complain(io, error);
    return false;
  }
  const PayloadView& v = side->contents.view;
  if (!v.issues.empty()) {
    Complain(io, Shown(side->ref.container) + ": \"" +
                     Printable(std::u16string_view(side->ref.stream)) +
                     "\": " + std::to_string(v.issues.size()) + " payload issue(s), first: " +
                     v.issues[0].text + "; comparing the blocks that could be read");
  }
  return true;
}

}  // namespace

int RunDiff(const DiffOptions& o, Io& io) {
  Side a, b;
  if (!LoadSide(o.a, &a, io) || !LoadSide(o.b, &b, io)) {
    return kExitFailure;
  }
  const auto& ablocks = a.contents.view.blocks;
  const auto& bblocks = b.contents.view.blocks;
  const EntryDiff d = DiffEntries(a.contents, b.contents);
  const std::vector<size_t>& removed = d.removed;
  const std::vector<size_t>& added = d.added;
  const std::vector<std::pair<size_t, size_t>>& changed = d.changed;
  const size_t unchanged = d.unchanged;
  const bool differ = d.differ();

  if (o.json) {
    Json doc;
    Json added_j = Json::array(), removed_j = Json::array(), changed_j = Json::array();
    for (size_t j : added) added_j.push_back(BlockJson(bblocks[j].decoded));
    for (size_t i : removed) removed_j.push_back(BlockJson(ablocks[i].decoded));
    for (const auto& [i, j] : changed) {
      Json ch;
      ch["key"] = Hex64(ablocks[i].decoded.key);
      Json fields = Json::array();
      for (const FieldChange& c : Changes(ablocks[i].decoded, bblocks[j].decoded)) {
        fields.push_back({{"field", c.field}, {"before", c.before_json}, {"after", c.after_json}});
      }
      ch["fields"] = fields;
      ch["before"] = BlockJson(ablocks[i].decoded);
      ch["after"] = BlockJson(bblocks[j].decoded);
      changed_j.push_back(ch);
    }
    doc["added"] = added_j;
    doc["removed"] = removed_j;
    doc["changed"] = changed_j;
    doc["unchanged"] = unchanged;
    PrintJson(io.out, doc);
  } else {
    for (size_t i : removed) {
      io.out << "- " << Q(ablocks[i].decoded.name) << " key " << Hex64(ablocks[i].decoded.key)
             << "\n";
    }
    for (size_t j : added) {
      io.out << "+ " << Q(bblocks[j].decoded.name) << " key " << Hex64(bblocks[j].decoded.key)
             << "\n";
    }
    for (const auto& [i, j] : changed) {
      io.out << "~ " << Q(ablocks[i].decoded.name) << " key " << Hex64(ablocks[i].decoded.key)
             << "\n";
      for (const FieldChange& c : Changes(ablocks[i].decoded, bblocks[j].decoded)) {
        io.out << "    " << c.field;
        if (!c.before.empty() || !c.after.empty()) io.out << ": " << c.before << " -> " << c.after;
        io.out << "\n";
      }
    }
    io.out << added.size() << " added, " << removed.size() << " removed, " << changed.size()
           << " changed, " << unchanged << " unchanged\n";
  }
  return differ ? kExitFindings : kExitOk;
}

}  // namespace tl::ctl
