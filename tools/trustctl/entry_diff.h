// The entries added, removed and changed from one list to another, matched by
// key (the list's own identity of a program). diff prints it; apply --check
// and apply's summary count it, so both say the same about the same lists.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "container_view.h"

namespace tl::ctl {

struct EntryDiff {
  std::vector<size_t> removed;                     // blocks of A whose key B lacks
  std::vector<size_t> added;                       // blocks of B whose key A lacks
  std::vector<std::pair<size_t, size_t>> changed;  // (A block, B block) of one key, content differs
  size_t unchanged = 0;
  bool differ() const { return !removed.empty() || !added.empty() || !changed.empty(); }
};

// A repeated key counts once, by its first block. Blocks are compared by the
// bytes that say something about the program (SameContent), within the bytes
// the payload holds of a damaged block.
EntryDiff DiffEntries(const StreamContents& a, const StreamContents& b);

}  // namespace tl::ctl
