// The entries added, removed and changed from one list to another, matched by
// key (the list's own identity of a program). diff prints it; apply --check
// and apply's summary count it, so both say the same about the same lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "view/container_view.h"

namespace tl::ctl {

// One list indexed for comparison: where each block lies and its key. A block
// is decoded again only when it is printed, so two big lists are compared
// holding their payloads and little more.
struct EntrySlot {
  uint32_t offset;
  uint32_t available;  // bytes of the block inside the payload
  uint64_t key;
};

struct EntryIndex {
  std::vector<EntrySlot> slots;  // payload order
  // (key, block) of the first block with each key, sorted by key: a third of
  // the memory of a hash map, for lists of 150,000 entries on both sides.
  std::vector<std::pair<uint64_t, uint32_t>> firsts;
  size_t issues = 0;        // payload issues met
  std::string first_issue;  // the first one's text

  // The first block with `key`, or -1.
  int64_t Find(uint64_t key) const;
};

// Walks the payload once and indexes its blocks.
EntryIndex IndexPayload(const std::vector<uint8_t>& payload);

struct EntryDiff {
  std::vector<size_t> removed;                     // blocks of A whose key B lacks
  std::vector<size_t> added;                       // blocks of B whose key A lacks
  std::vector<std::pair<size_t, size_t>> changed;  // (A block, B block) of one key, content differs
  size_t unchanged = 0;
  bool differ() const { return !removed.empty() || !added.empty() || !changed.empty(); }
};

// A repeated key counts once, by its first block. Blocks are compared by the
// library's rule (SameStoredBlock: all but the link bytes), within the bytes
// the payload holds of a damaged block. Block indices are payload order.
EntryDiff DiffEntries(const std::vector<uint8_t>& a_payload, const EntryIndex& a,
                      const std::vector<uint8_t>& b_payload, const EntryIndex& b);

// The same for two lists as read.
EntryDiff DiffEntries(const StreamContents& a, const StreamContents& b);

// The entries of `d` as diff prints them: "- NAME key K" for each removed,
// "+ ..." for each added, "~ ..." for each changed one with its fields
// ("    text1: \"old\" -> \"new\"").
void PrintChanges(std::ostream& out, const std::vector<uint8_t>& a_payload, const EntryIndex& a,
                  const std::vector<uint8_t>& b_payload, const EntryIndex& b, const EntryDiff& d);

}  // namespace tl::ctl
