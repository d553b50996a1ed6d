#include "blocklist/key_index.h"

#include <cstring>

#include "blocklist/block_header.h"
#include "common/le.h"
#include "common/zalloc.h"

namespace tl {

namespace {

constexpr size_t kInitialCapacity = 64;
// A table grown beyond this many slots is given back when the chain is emptied.
constexpr size_t kShrinkAbove = 4096;
// After a drop (or a failed rebuild), as many links as the chain then holds,
// and at least this many, pass before the next rebuild is tried: the rebuild
// walks cost O(1) per link.
constexpr size_t kMinOpsBeforeRebuild = 16;

// Load factor at most 0.7: linear probing stays short.
bool Fits(size_t distinct, size_t capacity) { return distinct * 10 <= capacity * 7; }

size_t CapacityFor(size_t distinct) {
  size_t capacity = kInitialCapacity;
  while (!Fits(distinct, capacity)) capacity *= 2;
  return capacity;
}

// Keys are arbitrary 64-bit values; spread them over the table.
size_t Mix(uint64_t key) {
  key = (key ^ (key >> 30)) * 0xBF58476D1CE4E5B9ull;
  key = (key ^ (key >> 27)) * 0x94D049BB133111EBull;
  return static_cast<size_t>(key ^ (key >> 31));
}

}  // namespace

KeyIndex::KeyIndex(const LinksPair* head) : head_(head) {
  if (!Allocate(kInitialCapacity)) ScheduleRebuild();
}

KeyIndex::~KeyIndex() { ZeroFree(table_); }

uint64_t KeyIndex::KeyOfNode(const LinksPair* node) {
  return LoadU64(node, kBlockKeyOffset - kBlockNextOffset);
}

bool KeyIndex::Find(uint64_t key, LinksPair** first) const {
  if (table_ == nullptr) return false;
  const Slot* slot = Lookup(key);
  if (slot == nullptr) {
    *first = nullptr;
    return true;
  }
  // A listed block whose key was changed in place: only the walk knows now.
  if (KeyOfNode(slot->first) != key) return false;
  *first = slot->first;
  return true;
}

void KeyIndex::NodeLinked(LinksPair* node, Where where) {
  ++nodes_;
  if (table_ == nullptr) {
    MaybeRebuild();
    return;
  }
  const uint64_t key = KeyOfNode(node);
  Slot* slot = Probe(key);
  if (slot->first == nullptr) {
    if (!Fits(distinct_ + 1, capacity_)) {
      if (!Reserve(distinct_ + 1)) {
        Drop();
        return;
      }
      slot = Probe(key);  // the table was rebuilt
    }
    slot->key = key;
    slot->first = node;
    slot->count = 1;
    ++distinct_;
    return;
  }
  ++slot->count;
  switch (where) {
    case Where::kHead:
      slot->first = node;
      break;
    case Where::kTail:
      break;
    case Where::kElsewhere:
      if (Precedes(node, slot->first)) slot->first = node;
      break;
  }
}

void KeyIndex::NodeUnlinked(LinksPair* node) {
  if (nodes_ > 0) --nodes_;
  if (table_ == nullptr) return;
  const uint64_t key = KeyOfNode(node);
  Slot* slot = Lookup(key);
  if (slot == nullptr) {
    Drop();  // cannot happen while every change is notified; do not guess
    return;
  }
  if (--slot->count == 0) {
    Erase(slot);
    return;
  }
  if (slot->first != node) return;
  // The removed node was the first with its key; the next one lies after it.
  // The node's own links still hold their old values.
  for (const LinksPair* p = node->next; p != head_; p = p->next) {
    if (KeyOfNode(p) == key) {
      slot->first = const_cast<LinksPair*>(p);
      return;
    }
  }
  Drop();
}

void KeyIndex::ChainCleared() {
  nodes_ = 0;
  if (table_ != nullptr && capacity_ <= kShrinkAbove) {
    std::memset(table_, 0, capacity_ * sizeof(Slot));
    distinct_ = 0;
    return;
  }
  Drop();
  Allocate(kInitialCapacity);  // on failure Drop has scheduled a rebuild
}

void KeyIndex::ChainReordered() {
  if (table_ == nullptr) return;
  std::memset(table_, 0, capacity_ * sizeof(Slot));
  distinct_ = 0;
  FillFromChain();
}

KeyIndex::Slot* KeyIndex::Probe(uint64_t key) const {
  const size_t mask = capacity_ - 1;
  for (size_t i = Mix(key) & mask;; i = (i + 1) & mask) {
    Slot* slot = &table_[i];
    if (slot->first == nullptr || slot->key == key) return slot;
  }
}

KeyIndex::Slot* KeyIndex::Lookup(uint64_t key) const {
  Slot* slot = Probe(key);
  return slot->first == nullptr ? nullptr : slot;
}

KeyIndex::Slot* KeyIndex::InsertNew(uint64_t key) {
  const size_t mask = capacity_ - 1;
  size_t i = Mix(key) & mask;
  while (table_[i].first != nullptr) i = (i + 1) & mask;
  table_[i].key = key;
  ++distinct_;
  return &table_[i];
}

// Backward-shift deletion: later slots of the same probe run move up so that
// no lookup stops early at the hole.
void KeyIndex::Erase(Slot* slot) {
  const size_t mask = capacity_ - 1;
  size_t hole = static_cast<size_t>(slot - table_);
  for (size_t j = (hole + 1) & mask; table_[j].first != nullptr; j = (j + 1) & mask) {
    const size_t home = Mix(table_[j].key) & mask;
    const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (stays) continue;
    table_[hole] = table_[j];
    hole = j;
  }
  table_[hole] = Slot{};
  --distinct_;
}

bool KeyIndex::Reserve(size_t distinct) {
  if (Fits(distinct, capacity_)) return true;
  Slot* old = table_;
  const size_t old_capacity = capacity_;
  const size_t old_distinct = distinct_;
  table_ = nullptr;
  if (!Allocate(CapacityFor(distinct))) {
    table_ = old;
    capacity_ = old_capacity;
    distinct_ = old_distinct;
    return false;
  }
  for (size_t i = 0; i < old_capacity; ++i) {
    if (old[i].first == nullptr) continue;
    Slot* slot = InsertNew(old[i].key);
    slot->first = old[i].first;
    slot->count = old[i].count;
  }
  ZeroFree(old);
  return true;
}

bool KeyIndex::Allocate(size_t capacity) {
  if (capacity > SIZE_MAX / sizeof(Slot)) return false;
  auto* table = static_cast<Slot*>(ZeroAlloc(capacity * sizeof(Slot)));
  if (table == nullptr) return false;
  ZeroFree(table_);
  table_ = table;
  capacity_ = capacity;
  distinct_ = 0;
  return true;
}

void KeyIndex::FillFromChain() {
  for (LinksPair* p = head_->next; p != head_; p = p->next) {
    const uint64_t key = KeyOfNode(p);
    Slot* slot = Lookup(key);
    if (slot != nullptr) {
      ++slot->count;
      continue;
    }
    if (!Reserve(distinct_ + 1)) {
      Drop();
      return;
    }
    slot = InsertNew(key);
    slot->first = p;
    slot->count = 1;
  }
}

void KeyIndex::Drop() {
  ZeroFree(table_);
  table_ = nullptr;
  capacity_ = 0;
  distinct_ = 0;
  ScheduleRebuild();
}

void KeyIndex::MaybeRebuild() {
  if (++ops_since_drop_ < rebuild_due_) return;
  if (Allocate(CapacityFor(nodes_))) {
    FillFromChain();
    if (table_ != nullptr) return;
  }
  ScheduleRebuild();
}

void KeyIndex::ScheduleRebuild() {
  ops_since_drop_ = 0;
  rebuild_due_ = nodes_ > kMinOpsBeforeRebuild ? nodes_ : kMinOpsBeforeRebuild;
}

bool KeyIndex::Precedes(const LinksPair* node, const LinksPair* other) const {
  // Walk both ways at once: the cost is the distance to `other` or to the
  // nearer end of the chain, whichever comes first.
  const LinksPair* forward = node->next;
  const LinksPair* backward = node->prev;
  for (;;) {
    if (forward == other) return true;
    if (backward == other) return false;
    if (forward == head_) return false;
    if (backward == head_) return true;
    forward = forward->next;
    backward = backward->prev;
  }
}

}  // namespace tl
