#include "view/entry_diff.h"

#include <algorithm>

#include "common/le.h"
#include "entry/hash_list.h"
#include "entry/list_payload.h"
#include "io/format.h"
#include "view/block_compare.h"
#include "view/payload_view.h"

namespace tl::ctl {

int64_t EntryIndex::Find(uint64_t key) const {
  const auto it = std::lower_bound(firsts.begin(), firsts.end(), std::make_pair(key, 0u));
  return it != firsts.end() && it->first == key ? static_cast<int64_t>(it->second) : -1;
}

EntryIndex IndexPayload(const std::vector<uint8_t>& payload) {
  EntryIndex index;
  // Room for a list of hash list entries, the most common, without regrowing.
  index.slots.reserve(payload.size() / kHashBlockSize);
  index.firsts.reserve(payload.size() / kHashBlockSize);
  const PayloadView v = WalkPayload(payload.data(), payload.size(), [&](const PayloadBlock& b) {
    const size_t rest = payload.size() - b.offset;
    const uint32_t available = b.decoded.size < rest ? b.decoded.size : static_cast<uint32_t>(rest);
    index.firsts.emplace_back(b.decoded.key, static_cast<uint32_t>(index.slots.size()));
    index.slots.push_back({b.offset, available, b.decoded.key});
  });
  // Sorted by key, then block: the first of a repeated key stays, the rest go.
  std::sort(index.firsts.begin(), index.firsts.end());
  index.firsts.erase(std::unique(index.firsts.begin(), index.firsts.end(),
                                 [](const auto& x, const auto& y) { return x.first == y.first; }),
                     index.firsts.end());
  index.firsts.shrink_to_fit();
  index.issues = v.issues.size();
  if (!v.issues.empty()) index.first_issue = v.issues[0].text;
  return index;
}

EntryDiff DiffEntries(const std::vector<uint8_t>& a_payload, const EntryIndex& a,
                      const std::vector<uint8_t>& b_payload, const EntryIndex& b) {
  // The first block of each key of A with the block of B that has its key, in
  // one merge of the two key orders: kNotFirst for a repeated key's later
  // blocks, kNone for a key B lacks.
  constexpr int64_t kNotFirst = -2, kNone = -1;
  std::vector<int64_t> match(a.slots.size(), kNotFirst);
  // B's blocks: 0 a repeated key's later block, 1 the first of a key A lacks,
  // 2 the first of a key A has.
  std::vector<uint8_t> b_state(b.slots.size(), 0);
  for (const auto& [key, j] : b.firsts) b_state[j] = 1;
  size_t k = 0;
  for (const auto& [key, i] : a.firsts) {
    while (k < b.firsts.size() && b.firsts[k].first < key) ++k;
    const bool found = k < b.firsts.size() && b.firsts[k].first == key;
    match[i] = found ? b.firsts[k].second : kNone;
    if (found) b_state[b.firsts[k].second] = 2;
  }
  EntryDiff d;
  for (uint32_t i = 0; i < a.slots.size(); ++i) {
    if (match[i] == kNotFirst) continue;  // a repeated key: the first one counts
    if (match[i] == kNone) {
      d.removed.push_back(i);
      continue;
    }
    const auto j = static_cast<uint32_t>(match[i]);
    const EntrySlot& s = a.slots[i];
    const EntrySlot& t = b.slots[j];
    const uint8_t* x = a_payload.data() + s.offset;
    const uint8_t* y = b_payload.data() + t.offset;
    // Equal sizes first (the size field may lie beyond what a damaged block holds).
    const bool same = s.available == t.available &&
                      (s.available < 4 || LoadU32(x, 0) == LoadU32(y, 0)) &&
                      SameStoredBlock(x, y, s.available);
    if (same) {
      ++d.unchanged;
    } else {
      d.changed.emplace_back(i, j);
    }
  }
  for (uint32_t j = 0; j < b.slots.size(); ++j) {
    if (b_state[j] == 1) d.added.push_back(j);
  }
  return d;
}

EntryDiff DiffEntries(const StreamContents& a, const StreamContents& b) {
  return DiffEntries(a.payload, IndexPayload(a.payload), b.payload, IndexPayload(b.payload));
}

namespace {

DecodedProgramBlock DecodedAt(const std::vector<uint8_t>& payload, const EntryIndex& index,
                              size_t i) {
  DecodedProgramBlock d;
  const uint32_t at = index.slots[i].offset;
  DecodeProgramBlock(payload.data() + at, payload.size() - at, &d);
  return d;
}

}  // namespace

void PrintChanges(std::ostream& out, const std::vector<uint8_t>& a_payload, const EntryIndex& a,
                  const std::vector<uint8_t>& b_payload, const EntryIndex& b, const EntryDiff& d) {
  for (size_t i : d.removed) {
    const DecodedProgramBlock x = DecodedAt(a_payload, a, i);
    out << "- " << Q(x.name) << " key " << Hex64(x.key) << "\n";
  }
  for (size_t j : d.added) {
    const DecodedProgramBlock x = DecodedAt(b_payload, b, j);
    out << "+ " << Q(x.name) << " key " << Hex64(x.key) << "\n";
  }
  for (const auto& [i, j] : d.changed) {
    const DecodedProgramBlock before = DecodedAt(a_payload, a, i);
    const DecodedProgramBlock after = DecodedAt(b_payload, b, j);
    out << "~ " << Q(before.name) << " key " << Hex64(before.key) << "\n";
    for (const FieldChange& c : Changes(before, after)) {
      out << "    " << c.field;
      if (!c.before.empty() || !c.after.empty()) out << ": " << c.before << " -> " << c.after;
      out << "\n";
    }
  }
}

}  // namespace tl::ctl
