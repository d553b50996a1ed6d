// trustctl diff: the entries added, removed and changed between two streams,
// matched by key (the list's own identity of a program).
#include <algorithm>
#include <cstring>

#include "block_compare.h"
#include "block_print.h"
#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "command.h"
#include "common/le.h"
#include "container_view.h"
#include "entry/hash_list.h"
#include "format.h"
#include "json_out.h"
#include "trustctl.h"

namespace tl::ctl {
namespace {

// One list, read: its payload and, for each block in payload order, where it
// lies and its key. A block is decoded again only when it is printed, so two
// big lists are compared holding their payloads and little more.
struct Slot {
  uint32_t offset;
  uint32_t available;  // bytes of the block inside the payload
  uint64_t key;
};

struct Side {
  StreamRef ref;
  StreamContents contents;
  std::vector<Slot> slots;
  // (key, block) of the first block with each key, sorted by key: a third of
  // the memory of a hash map, for lists of 150,000 entries on both sides.
  std::vector<std::pair<uint64_t, uint32_t>> firsts;

  // The first block with `key`, or -1.
  int64_t Find(uint64_t key) const {
    const auto it = std::lower_bound(firsts.begin(), firsts.end(), std::make_pair(key, 0u));
    return it != firsts.end() && it->first == key ? static_cast<int64_t>(it->second) : -1;
  }

  DecodedProgramBlock Decoded(size_t i) const {
    DecodedProgramBlock d;
    DecodeProgramBlock(contents.payload.data() + slots[i].offset,
                       contents.payload.size() - slots[i].offset, &d);
    return d;
  }
  const uint8_t* Bytes(size_t i) const { return contents.payload.data() + slots[i].offset; }
};

bool LoadSide(const std::string& text, Side* side, Io& io) {
  std::string error;
  if (!ParseStreamRef(text, &side->ref, &error)) {
    Complain(io, error);
    return false;
  }
  LoadOptions options;
  options.keep_blocks = false;
  if (!LoadList(side->ref, options, &side->contents, &error)) {
    Complain(io, error);
    return false;
  }
  const std::vector<uint8_t>& payload = side->contents.payload;
  const PayloadView v = WalkPayload(payload.data(), payload.size(), [&](const PayloadBlock& b) {
    const size_t rest = payload.size() - b.offset;
    const uint32_t available = b.decoded.size < rest ? b.decoded.size : static_cast<uint32_t>(rest);
    side->firsts.emplace_back(b.decoded.key, static_cast<uint32_t>(side->slots.size()));
    side->slots.push_back({b.offset, available, b.decoded.key});
  });
  // Sorted by key, then block: the first of a repeated key stays, the rest go.
  std::sort(side->firsts.begin(), side->firsts.end());
  side->firsts.erase(std::unique(side->firsts.begin(), side->firsts.end(),
                                 [](const auto& x, const auto& y) { return x.first == y.first; }),
                     side->firsts.end());
  side->firsts.shrink_to_fit();
  if (!v.issues.empty()) {
    Complain(io, Shown(side->ref.container) + ": \"" +
                     Printable(std::u16string_view(side->ref.stream)) +
                     "\": " + std::to_string(v.issues.size()) + " payload issue(s), first: " +
                     v.issues[0].text + "; comparing the blocks that could be read");
  }
  return true;
}

Json ChangedJson(const DecodedProgramBlock& before, const DecodedProgramBlock& after) {
  Json ch;
  ch["key"] = Hex64(before.key);
  Json fields = Json::array();
  for (const FieldChange& c : Changes(before, after)) {
    fields.push_back({{"field", c.field}, {"before", c.before_json}, {"after", c.after_json}});
  }
  ch["fields"] = fields;
  ch["before"] = BlockJson(before);
  ch["after"] = BlockJson(after);
  return ch;
}

}  // namespace

int RunDiff(const DiffOptions& o, Io& io) {
  Side a, b;
  if (!LoadSide(o.a, &a, io) || !LoadSide(o.b, &b, io)) {
    return kExitFailure;
  }
  std::vector<uint32_t> removed, added;
  std::vector<std::pair<uint32_t, uint32_t>> changed;
  size_t unchanged = 0;
  for (uint32_t i = 0; i < a.slots.size(); ++i) {
    const Slot& s = a.slots[i];
    if (a.Find(s.key) != i) continue;  // a repeated key: the first one counts
    const int64_t found = b.Find(s.key);
    if (found < 0) {
      removed.push_back(i);
      continue;
    }
    const auto j = static_cast<uint32_t>(found);
    const uint32_t n = s.available;
    const bool same = n == b.slots[j].available &&
                      LoadU32(a.Bytes(i), 0) == LoadU32(b.Bytes(j), 0) &&
                      SameContent(a.Bytes(i), b.Bytes(j), n);
    if (same) {
      ++unchanged;
    } else {
      changed.emplace_back(i, j);
    }
  }
  for (uint32_t j = 0; j < b.slots.size(); ++j) {
    if (b.Find(b.slots[j].key) == j && a.Find(b.slots[j].key) < 0) {
      added.push_back(j);
    }
  }
  const bool differ = !removed.empty() || !added.empty() || !changed.empty();

  if (o.json) {
    Json doc;
    doc["added"] = kHole;
    doc["removed"] = kHole;
    doc["changed"] = kHole;
    doc["unchanged"] = unchanged;
    // Written entry by entry: a diff of two big lists is never one document.
    auto [head, rest] = AroundHole(doc, "added", 0);
    io.out << head;
    ArrayWriter added_j(io.out, 1);
    for (uint32_t j : added) added_j.Put(BlockJson(b.Decoded(j)));
    added_j.Close();
    const std::string hole = std::to_string(kHole);
    const size_t r = rest.find(hole);
    io.out << rest.substr(0, r);
    ArrayWriter removed_j(io.out, 1);
    for (uint32_t i : removed) removed_j.Put(BlockJson(a.Decoded(i)));
    removed_j.Close();
    rest = rest.substr(r + hole.size());
    const size_t c = rest.find(hole);
    io.out << rest.substr(0, c);
    ArrayWriter changed_j(io.out, 1);
    for (const auto& [i, j] : changed) changed_j.Put(ChangedJson(a.Decoded(i), b.Decoded(j)));
    changed_j.Close();
    io.out << rest.substr(c + hole.size()) << "\n";
  } else {
    for (uint32_t i : removed) {
      const DecodedProgramBlock d = a.Decoded(i);
      io.out << "- " << Q(d.name) << " key " << Hex64(d.key) << "\n";
    }
    for (uint32_t j : added) {
      const DecodedProgramBlock d = b.Decoded(j);
      io.out << "+ " << Q(d.name) << " key " << Hex64(d.key) << "\n";
    }
    for (const auto& [i, j] : changed) {
      const DecodedProgramBlock before = a.Decoded(i), after = b.Decoded(j);
      io.out << "~ " << Q(before.name) << " key " << Hex64(before.key) << "\n";
      for (const FieldChange& c : Changes(before, after)) {
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
