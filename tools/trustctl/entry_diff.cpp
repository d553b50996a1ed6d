#include "entry_diff.h"

#include <unordered_map>

#include "block_compare.h"

namespace tl::ctl {
namespace {

// The bytes of block i that lie inside the payload: all of them for a sound
// block, the part before the payload's end for a damaged one.
uint32_t Available(const StreamContents& s, size_t i) {
  const PayloadBlock& b = s.view.blocks[i];
  const size_t rest = s.payload.size() - b.offset;
  return b.decoded.size < rest ? b.decoded.size : static_cast<uint32_t>(rest);
}

// The first block with each key.
std::unordered_map<uint64_t, size_t> FirstByKey(const StreamContents& s) {
  std::unordered_map<uint64_t, size_t> by_key;
  for (size_t i = 0; i < s.view.blocks.size(); ++i) by_key.emplace(s.view.blocks[i].decoded.key, i);
  return by_key;
}

}  // namespace

EntryDiff DiffEntries(const StreamContents& a, const StreamContents& b) {
  EntryDiff d;
  const auto& ablocks = a.view.blocks;
  const auto& bblocks = b.view.blocks;
  const auto a_by_key = FirstByKey(a);
  const auto b_by_key = FirstByKey(b);
  for (size_t i = 0; i < ablocks.size(); ++i) {
    if (a_by_key.at(ablocks[i].decoded.key) != i) continue;  // a repeated key: first one counts
    const auto it = b_by_key.find(ablocks[i].decoded.key);
    if (it == b_by_key.end()) {
      d.removed.push_back(i);
      continue;
    }
    const size_t j = it->second;
    const uint32_t n = Available(a, i);
    const bool same = ablocks[i].decoded.size == bblocks[j].decoded.size && n == Available(b, j) &&
                      SameContent(a.BlockBytes(i), b.BlockBytes(j), n);
    if (same) {
      ++d.unchanged;
    } else {
      d.changed.emplace_back(i, j);
    }
  }
  for (size_t j = 0; j < bblocks.size(); ++j) {
    if (b_by_key.at(bblocks[j].decoded.key) == j && a_by_key.count(bblocks[j].decoded.key) == 0) {
      d.added.push_back(j);
    }
  }
  return d;
}

}  // namespace tl::ctl
