// CLockedLinkList<L>: an intrusive, circular, doubly linked list with a
// sentinel, guarded by the lock class L it derives from.
//
// The list never allocates. Each element is an allocation of the caller's that
// embeds a links pair at a fixed distance (the node offset) from its start; the
// list stores, takes and returns node pointers (pointers to the links pair).
// Invariants: following `next` from the head visits every node once and returns
// to the head; n->next->prev == n and n->prev->next == n for every node; an
// empty list's head points at itself both ways.
//
// A negative node offset marks a list that does not own its nodes: RemoveAll
// and the destructor leave them alone.
//
// "Locked" operations call Lock once on entry and Unlock once before returning.
// The lock is not re-entrant: a thread holding it must only use RemoveNodeNoLock,
// FreeNode, IsEqualKey and the hooks. No operation validates its node
// arguments.
//
// The virtual operations are declared in their fixed slot order (after the
// lock's destructor, Lock, Unlock): IsEmpty .. OnTrace. Do not reorder them.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace tl {

struct LinksPair {
  LinksPair* next;
  LinksPair* prev;
};
static_assert(sizeof(LinksPair) == 16);
static_assert(sizeof(void*) == 8, "the links pair holds two 8-byte pointers");

// Compare callback of Sort: `a` stands before `b` when it is called; a result
// greater than 0 means a must come after b.
using CompareNodes = int32_t (*)(uint64_t context, LinksPair* a, LinksPair* b);

// Told of every change the list's own operations make to the chain, while the
// list's lock is held (or, for RemoveNodeNoLock, by a caller that holds it). A
// derived list uses it to keep side structures (such as a key index) true.
class LinkObserver {
 public:
  enum class Where : uint8_t { kHead, kTail, kElsewhere };
  // `node` has just been linked; `where` says whether it is now first, last or
  // between two nodes.
  virtual void NodeLinked(LinksPair* node, Where where) = 0;
  // `node` has just been unlinked; its own links still hold their old values.
  virtual void NodeUnlinked(LinksPair* node) = 0;
  // Every node is about to be unlinked and freed.
  virtual void ChainCleared() = 0;
  // The same nodes are linked in a new order.
  virtual void ChainReordered() = 0;

 protected:
  ~LinkObserver() = default;
};

// Counts calls of the default key equality that carry the probe keys; lets a
// derived list find out whether IsEqualKey has been replaced (see
// UsesDefaultKeyEquality). Touched only for those two exact key pairs.
inline thread_local uint32_t g_default_key_equality_probes = 0;
inline constexpr uint64_t kKeyProbeA = 0x9E3779B97F4A7C15ull;
inline constexpr uint64_t kKeyProbeB = 0xC2B2AE3D27D4EB4Full;

template <class L>
class CLockedLinkList : public L {
 public:
  CLockedLinkList() = default;
  CLockedLinkList(const CLockedLinkList&) = delete;
  CLockedLinkList& operator=(const CLockedLinkList&) = delete;
  // Frees every node still linked (unless the node offset is negative), as
  // RemoveAll does, with this layer's own lock and FreeNode: the derived
  // layers are already gone.
  ~CLockedLinkList() override { ClearChain(/*in_destructor=*/true); }

  // 1 if the list holds no node, else 0. Locked.
  virtual int32_t IsEmpty() {
    this->Lock();
    const int32_t empty = head_.next == &head_ ? 1 : 0;
    this->Unlock();
    return empty;
  }

  virtual void AddHead(LinksPair* node) {
    this->Lock();
    LinkBetween(&head_, head_.next, node);
    Notify(node);
    this->Unlock();
  }

  virtual void AddTail(LinksPair* node) {
    this->Lock();
    LinkBetween(head_.prev, &head_, node);
    Notify(node);
    this->Unlock();
  }

  virtual void InsertAfter(LinksPair* position, LinksPair* node) {
    this->Lock();
    LinkBetween(position, position->next, node);
    Notify(node);
    this->Unlock();
  }

  virtual void InsertBefore(LinksPair* position, LinksPair* node) {
    this->Lock();
    LinkBetween(position->prev, position, node);
    Notify(node);
    this->Unlock();
  }

  // Unlinks and returns the first node; on an empty list returns the head and
  // changes nothing. The removed node keeps its old links.
  virtual LinksPair* RemoveHead() {
    this->Lock();
    LinksPair* r = head_.next;
    head_.next = r->next;
    r->next->prev = &head_;
    if (r != &head_ && observer_ != nullptr) observer_->NodeUnlinked(r);
    this->Unlock();
    return r;
  }

  // Unlinks and returns the last node; on an empty list returns the head.
  virtual LinksPair* RemoveTail() {
    this->Lock();
    LinksPair* r = head_.prev;
    head_.prev = r->prev;
    r->prev->next = &head_;
    if (r != &head_ && observer_ != nullptr) observer_->NodeUnlinked(r);
    this->Unlock();
    return r;
  }

  // Unlinks `node`; frees nothing; the node keeps its old links.
  virtual void RemoveNode(LinksPair* node) {
    this->Lock();
    UnlinkNoLock(node);
    this->Unlock();
  }

  // RemoveNode for a caller that already holds the lock.
  virtual void RemoveNodeNoLock(LinksPair* node) { UnlinkNoLock(node); }

  // Walks the list and counts its nodes (no count is stored). Locked.
  virtual uint32_t GetCount() {
    this->Lock();
    uint32_t n = 0;
    for (LinksPair* p = head_.next; p != &head_; p = p->next) ++n;
    this->Unlock();
    return n;
  }

  // Unlinks and frees (FreeNode) every node, first to last. A list with a
  // negative node offset owns no node: it returns at once, without the lock.
  virtual void RemoveAll() { ClearChain(/*in_destructor=*/false); }

  // Releases the allocation holding `node` (node pointer minus node offset)
  // with free(), unless that address is null. Neither locks nor unlinks.
  virtual void FreeNode(LinksPair* node) {
    const uintptr_t allocation = reinterpret_cast<uintptr_t>(node) -
                                 static_cast<uintptr_t>(static_cast<intptr_t>(node_offset_));
    if (allocation != 0) std::free(reinterpret_cast<void*>(allocation));
  }

  // Stable selection sort by relinking, ascending under `compare`, locked for
  // the whole sort (the callback must not lock this list). Exactly n(n-1)/2
  // callback calls for n nodes; a node moves forward only past greater nodes.
  virtual void Sort(CompareNodes compare, uint64_t context) {
    this->Lock();
    bool moved = false;
    if (head_.next != head_.prev) {
      LinksPair* c = head_.next;
      for (;;) {
        for (LinksPair* j = c->next; j != &head_;) {
          LinksPair* following = j->next;
          if (compare(context, c, j) > 0) {
            j->prev->next = j->next;
            j->next->prev = j->prev;
            LinkBetween(c->prev, c, j);
            c = j;
            moved = true;
          }
          j = following;
        }
        c = c->next;
        if (c == head_.prev) break;
      }
    }
    if (moved && observer_ != nullptr) observer_->ChainReordered();
    this->Unlock();
  }

  // 1 if the keys are equal, else 0. No lock.
  virtual int32_t IsEqualKey(uint64_t key1, uint64_t key2) {
    if (key1 == kKeyProbeA && (key2 == kKeyProbeA || key2 == kKeyProbeB)) [[unlikely]] {
      ++g_default_key_equality_probes;
    }
    return key1 == key2 ? 1 : 0;
  }

  // Hook: a new block replaces an old one with the same key (old not yet freed).
  virtual void OnReplace(uint8_t* new_block, uint8_t* old_block) {
    (void)new_block;
    (void)old_block;
  }

  // Hook: `text` names the step ("Update", "Append", "RemoveBlock", ...).
  virtual void OnTrace(const char* text, const uint8_t* block) {
    (void)text;
    (void)block;
  }

  // The sentinel: head->next is the first node, head->prev the last.
  LinksPair* Head() { return &head_; }
  const LinksPair* Head() const { return &head_; }
  int32_t NodeOffset() const { return node_offset_; }

 protected:
  void SetNodeOffset(int32_t offset) { node_offset_ = offset; }
  void SetLinkObserver(LinkObserver* observer) { observer_ = observer; }

  // Links `node` at the tail; the caller holds the lock.
  void LinkTailNoLock(LinksPair* node) {
    LinkBetween(head_.prev, &head_, node);
    if (observer_ != nullptr) observer_->NodeLinked(node, LinkObserver::Where::kTail);
  }

  // Unlinks `node`; the caller holds the lock. The node keeps its old links.
  void UnlinkNoLock(LinksPair* node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
    if (node != &head_ && observer_ != nullptr) observer_->NodeUnlinked(node);
  }

  // True when IsEqualKey behaves as the plain 64-bit comparison above, i.e. it
  // has not been replaced by a derived class (or forwards to this one
  // unchanged). Must not be called during construction or destruction.
  bool UsesDefaultKeyEquality() {
    const uint32_t before = g_default_key_equality_probes;
    const int32_t same = this->IsEqualKey(kKeyProbeA, kKeyProbeA);
    const int32_t differ = this->IsEqualKey(kKeyProbeA, kKeyProbeB);
    return g_default_key_equality_probes - before == 2 && same == 1 && differ == 0;
  }

 private:
  static void LinkBetween(LinksPair* before, LinksPair* after, LinksPair* node) {
    node->prev = before;
    node->next = after;
    before->next = node;
    after->prev = node;
  }

  void ClearChain(bool in_destructor) {
    if (node_offset_ < 0) return;
    if (in_destructor) {
      L::Lock();
    } else {
      this->Lock();
    }
    if (observer_ != nullptr && head_.next != &head_) observer_->ChainCleared();
    for (;;) {
      LinksPair* r = head_.next;
      head_.next = r->next;
      r->next->prev = &head_;
      if (r == &head_) break;
      if (in_destructor) {
        CLockedLinkList::FreeNode(r);
      } else {
        this->FreeNode(r);
      }
    }
    if (in_destructor) {
      L::Unlock();
    } else {
      this->Unlock();
    }
  }

  void Notify(LinksPair* node) {
    if (observer_ == nullptr) return;
    const LinkObserver::Where where = node->prev == &head_   ? LinkObserver::Where::kHead
                                      : node->next == &head_ ? LinkObserver::Where::kTail
                                                             : LinkObserver::Where::kElsewhere;
    observer_->NodeLinked(node, where);
  }

  LinksPair head_{&head_, &head_};
  int32_t node_offset_ = 0;
  LinkObserver* observer_ = nullptr;
};

}  // namespace tl
