#include "blocklist/locked_link_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <vector>

#include "blocklist/spin_locker.h"
#include "common/zalloc.h"

namespace tl {
namespace {

struct Counting : CSpinLocker {
  int locks = 0;
  int unlocks = 0;
  uint32_t Lock() override {
    ++locks;
    return CSpinLocker::Lock();
  }
  int32_t Unlock() override {
    ++unlocks;
    return CSpinLocker::Unlock();
  }
};

class TestList : public CLockedLinkList<Counting> {
 public:
  explicit TestList(int32_t node_offset = 8) { SetNodeOffset(node_offset); }
};

struct Item {
  uint32_t value;
  uint32_t order;  // insertion order, to check stability
  LinksPair links;
};
static_assert(offsetof(Item, links) == 8);

Item* NewItem(uint32_t value, uint32_t order = 0) {
  auto* item = static_cast<Item*>(ZeroAlloc(sizeof(Item)));
  item->value = value;
  item->order = order;
  return item;
}
Item* ItemOf(LinksPair* node) {
  return reinterpret_cast<Item*>(reinterpret_cast<uint8_t*>(node) - offsetof(Item, links));
}

// Values from head to tail, after checking every link both ways.
std::vector<uint32_t> Values(TestList& list) {
  std::vector<uint32_t> out;
  LinksPair* head = list.Head();
  for (LinksPair* n = head->next; n != head; n = n->next) {
    EXPECT_EQ(n->next->prev, n);
    EXPECT_EQ(n->prev->next, n);
    out.push_back(ItemOf(n)->value);
  }
  EXPECT_EQ(head->next->prev, head);
  EXPECT_EQ(head->prev->next, head);
  return out;
}

TEST(LockedLinkList, EmptyListOperationsChangeNothingAndLockOnce) {
  TestList list;
  EXPECT_EQ(list.IsEmpty(), 1);
  EXPECT_EQ(list.GetCount(), 0u);
  EXPECT_EQ(list.RemoveHead(), list.Head());
  EXPECT_EQ(list.RemoveTail(), list.Head());
  list.RemoveAll();
  bool called = false;
  list.Sort(
      [](uint64_t ctx, LinksPair*, LinksPair*) -> int32_t {
        *reinterpret_cast<bool*>(ctx) = true;
        return 0;
      },
      reinterpret_cast<uint64_t>(&called));
  EXPECT_FALSE(called);
  EXPECT_EQ(list.locks, 6);
  EXPECT_EQ(list.unlocks, 6);
  EXPECT_EQ(list.Head()->next, list.Head());
  EXPECT_EQ(list.Head()->prev, list.Head());
}

TEST(LockedLinkList, InsertionsLinkInPlace) {
  TestList list;
  Item* a = NewItem(1);
  Item* b = NewItem(2);
  Item* c = NewItem(3);
  Item* d = NewItem(4);
  Item* e = NewItem(5);
  list.AddTail(&c->links);                  // [3]
  list.AddHead(&a->links);                  // [1 3]
  list.InsertAfter(&a->links, &b->links);   // [1 2 3]
  list.AddTail(&e->links);                  // [1 2 3 5]
  list.InsertBefore(&e->links, &d->links);  // [1 2 3 4 5]
  EXPECT_EQ(Values(list), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(list.GetCount(), 5u);
  EXPECT_EQ(list.IsEmpty(), 0);
  EXPECT_EQ(list.locks, 7);
  EXPECT_EQ(list.unlocks, 7);
}

TEST(LockedLinkList, RemovalsKeepTheRemovedNodesLinks) {
  TestList list;
  std::vector<Item*> items;
  for (uint32_t v = 1; v <= 4; ++v) {
    items.push_back(NewItem(v));
    list.AddTail(&items.back()->links);
  }
  const LinksPair before = items[1]->links;
  list.RemoveNode(&items[1]->links);
  EXPECT_EQ(items[1]->links.next, before.next);
  EXPECT_EQ(items[1]->links.prev, before.prev);

  LinksPair* h = list.RemoveHead();
  EXPECT_EQ(h, &items[0]->links);
  EXPECT_EQ(h->next, &items[2]->links);  // old link, not rewritten
  LinksPair* t = list.RemoveTail();
  EXPECT_EQ(t, &items[3]->links);
  EXPECT_EQ(t->prev, &items[2]->links);
  EXPECT_EQ(Values(list), (std::vector<uint32_t>{3}));

  list.Lock();
  list.RemoveNodeNoLock(&items[2]->links);
  list.Unlock();
  EXPECT_EQ(list.IsEmpty(), 1);
  for (Item* item : items) ZeroFree(item);
}

struct SortCase {
  const char* name;
  std::vector<uint32_t> values;  // order field = position
  std::vector<uint32_t> sorted_orders;
  int calls;
};

int32_t ByValue(uint64_t context, LinksPair* a, LinksPair* b) {
  ++*reinterpret_cast<int*>(context);
  const uint32_t va = ItemOf(a)->value;
  const uint32_t vb = ItemOf(b)->value;
  return va > vb ? 1 : (va < vb ? -1 : 0);
}

TEST(LockedLinkList, SortIsStableSelectionWithFixedCallCount) {
  const std::vector<SortCase> cases = {
      {"empty", {}, {}, 0},
      {"one", {7}, {0}, 0},
      {"two swapped", {2, 1}, {1, 0}, 1},
      {"two equal", {1, 1}, {0, 1}, 1},
      {"2 1a 0 1b", {2, 1, 0, 1}, {2, 1, 3, 0}, 6},
      {"sorted", {1, 2, 3, 4, 5}, {0, 1, 2, 3, 4}, 10},
      {"reversed", {5, 4, 3, 2, 1}, {4, 3, 2, 1, 0}, 10},
  };
  for (const SortCase& c : cases) {
    SCOPED_TRACE(c.name);
    TestList list;
    for (uint32_t i = 0; i < c.values.size(); ++i) list.AddTail(&NewItem(c.values[i], i)->links);
    int calls = 0;
    list.Sort(ByValue, reinterpret_cast<uint64_t>(&calls));
    EXPECT_EQ(calls, c.calls);
    std::vector<uint32_t> orders;
    for (LinksPair* n = list.Head()->next; n != list.Head(); n = n->next) {
      orders.push_back(ItemOf(n)->order);
    }
    EXPECT_EQ(orders, c.sorted_orders);
    Values(list);  // link invariants
  }
}

TEST(LockedLinkList, SortMatchesStableSortOnRandomLists) {
  std::mt19937 rng(7);
  for (uint32_t n : {3u, 8u, 33u, 100u}) {
    TestList list;
    std::vector<std::pair<uint32_t, uint32_t>> expected;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t v = rng() % 6;
      list.AddTail(&NewItem(v, i)->links);
      expected.emplace_back(v, i);
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](auto& x, auto& y) { return x.first < y.first; });
    int calls = 0;
    list.Sort(ByValue, reinterpret_cast<uint64_t>(&calls));
    EXPECT_EQ(calls, static_cast<int>(n * (n - 1) / 2));
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (LinksPair* p = list.Head()->next; p != list.Head(); p = p->next) {
      got.emplace_back(ItemOf(p)->value, ItemOf(p)->order);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(list.locks, list.unlocks);
  }
}

TEST(LockedLinkList, NegativeNodeOffsetOwnsNothing) {
  std::vector<Item> items(3);
  {
    TestList list(-1);
    for (Item& item : items) list.AddTail(&item.links);
    const int locks = list.locks;
    list.RemoveAll();
    EXPECT_EQ(list.locks, locks);  // returned without locking
    EXPECT_EQ(list.GetCount(), 3u);
  }  // the destructor frees nothing either (stack items; a free would crash)
  SUCCEED();
}

TEST(LockedLinkList, RemoveAllFreesEveryNodeAndEmpties) {
  TestList list;
  for (uint32_t v = 0; v < 5; ++v) list.AddTail(&NewItem(v)->links);
  list.RemoveAll();  // the sanitizer build reports a leak or a bad free
  EXPECT_EQ(list.IsEmpty(), 1);
  EXPECT_EQ(list.Head()->prev, list.Head());
}

TEST(LockedLinkList, FreeNodeOfNullAllocationFreesNothing) {
  TestList list;
  list.FreeNode(reinterpret_cast<LinksPair*>(static_cast<uintptr_t>(8)));
  SUCCEED();
}

}  // namespace
}  // namespace tl
