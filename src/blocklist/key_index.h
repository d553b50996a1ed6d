// KeyIndex: a hash index from block key to the first node, counted from the
// head, that carries the key, for a chain of blocks whose links pair sits at
// byte 8 (so a node's key is at node + 16). It turns the key lookups of
// CVarBlockList from a walk into O(1) on average while giving exactly the walk's
// answer.
//
// It learns of every link change through LinkObserver (called with the list's
// lock held) and keeps, per distinct key, the first node and the number of
// listed nodes with that key. Duplicate keys (possible after LoadFromChain or
// the generic insertions) are resolved by a short walk when the first of them
// is unlinked or a duplicate is inserted in the middle of the chain.
//
// Open addressing with linear probing and backward-shift deletion, in one
// tl::ZeroAlloc table grown by doubling. When memory cannot be had the index
// drops its table and lookups report "unavailable" (callers walk); it is
// rebuilt from the chain once enough link operations have passed to pay for
// the rebuild, or when the chain is emptied.
//
// Lookups only read, so concurrent lookups without the lock are as safe as
// concurrent walks. A listed block's key must not change while it is listed
// (a lookup that meets a changed key reports "unavailable").
#pragma once

#include <cstddef>
#include <cstdint>

#include "blocklist/locked_link_list.h"

namespace tl {

class KeyIndex final : public LinkObserver {
 public:
  explicit KeyIndex(const LinksPair* head);
  KeyIndex(const KeyIndex&) = delete;
  KeyIndex& operator=(const KeyIndex&) = delete;
  ~KeyIndex();

  // True and *first = the first node from the head with `key` (null when no
  // node has it) when the index can answer; false when the caller must walk.
  bool Find(uint64_t key, LinksPair** first) const;

  // True while the index has a table and answers lookups.
  bool active() const { return table_ != nullptr; }
  // The number of nodes linked in the chain, as told by the notifications.
  size_t node_count() const { return nodes_; }

  void NodeLinked(LinksPair* node, Where where) override;
  void NodeUnlinked(LinksPair* node) override;
  void ChainCleared() override;
  void ChainReordered() override;

  static uint64_t KeyOfNode(const LinksPair* node);

 private:
  struct Slot {
    uint64_t key;
    LinksPair* first;  // null: the slot is free
    uint64_t count;
  };
  static_assert(sizeof(Slot) == 24);

  // The slot holding `key`, or the free slot where it would go.
  Slot* Probe(uint64_t key) const;
  Slot* Lookup(uint64_t key) const;
  // Inserts a new slot for `key` (which must be absent); table has room.
  Slot* InsertNew(uint64_t key);
  void Erase(Slot* slot);
  bool Reserve(size_t distinct);
  bool Allocate(size_t capacity);
  // Fills the (empty) table from the chain; drops the table when it cannot grow.
  void FillFromChain();
  void Drop();
  void MaybeRebuild();
  void ScheduleRebuild();
  // Whether `node` stands before `other` in the chain (both listed).
  bool Precedes(const LinksPair* node, const LinksPair* other) const;

  const LinksPair* head_;
  Slot* table_ = nullptr;
  size_t capacity_ = 0;        // a power of two, or 0 without a table
  size_t distinct_ = 0;        // slots in use
  size_t nodes_ = 0;           // nodes in the chain
  size_t ops_since_drop_ = 0;  // links since the table was lost
  size_t rebuild_due_ = 0;     // links after which a rebuild is tried
};

}  // namespace tl
