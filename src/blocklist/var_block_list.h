// CVarBlockList: the in-memory list of variable-size blocks (program blocks),
// kept in insertion order and identified by the 64-bit key in its header
// (block_header.h). Node offset 8: a block's links pair is its `next`/`prev`
// fields.
//
// The blocks the list copies in itself (AddBlockCopy, AddOwnBlockCopy, the
// merges and loads) are carved from its arena (block_arena.h), chunks of
// 1 MiB, rather than allocated one by one; a heap block handed to AddBlock
// stays a heap block. The list owns both kinds and releases each the right
// way (FreeNode, a replacement, a removal); a block taken out of the list
// (RemoveHead, RemoveTail, RemoveNode) is released with FreeNode, never with
// free().
//
// Besides the list it holds the chain of request records (singly linked through
// the pointer at byte 592 of each 632-byte record), which only its destructor
// frees, and a modified flag that the adding and removing operations set.
//
// Key lookups go through a KeyIndex that gives the same answer as the walk from
// the head (the first block with the key) in O(1) on average; it is bypassed,
// and the list walks with IsEqualKey, when a derived class replaces IsEqualKey
// or the index has no memory.
//
// Hooks (OnReplace, OnTrace) run with the lock held, in this order:
//   AddBlock:      [OnReplace(new, old), OnTrace("Update", new)], OnTrace("Append", new)
//   RemoveByKey:   OnTrace("RemoveBlock", block)
//   MergeFrom:     OnTrace("MergeBlock", copy) after each copy is linked
//   ExportTo:      OnTrace("Export", listed block) after its bytes are copied
//   LoadFromBuffer: OnTrace("LoadNode" | "LoadAll", source block in the buffer)
#pragma once

#include <atomic>
#include <cstdint>

#include "blocklist/block_arena.h"
#include "blocklist/block_header.h"
#include "blocklist/key_index.h"
#include "blocklist/locked_link_list.h"
#include "blocklist/spin_locker.h"

namespace tl {

// The request record chain: records of this size, linked through the 8-byte
// pointer at this offset.
inline constexpr uint32_t kRequestRecordSize = 632;
inline constexpr uint32_t kRequestNextOffset = 592;

class CVarBlockList : public CLockedLinkList<CSpinLocker> {
 public:
  CVarBlockList();
  // Frees the request chain, then (list part) every block still linked, then
  // (lock part) the event.
  ~CVarBlockList() override;

  // Locks and looks `key` up; returns the block with the lock still held (the
  // caller Unlocks when done), or null with the lock released.
  virtual uint8_t* FindAndLock(uint64_t key);
  // The first block from the head whose key equals `key`, or null. No lock:
  // the caller holds it where consistency matters.
  virtual uint8_t* FindBlock(uint64_t key);
  // Takes ownership of a heap block (malloc/ZeroAlloc, in no list, valid size;
  // not tested) and links it at the tail, replacing (freeing) the first block
  // with the same key. Locked. Returns 1 (0 only for a null block).
  virtual uint32_t AddBlock(void* block);
  // AddBlock of a zero-padded copy of `source`. 0, with nothing changed, when
  // the source's size is out of range, it is unreadable, or memory is short.
  virtual uint32_t AddBlockCopy(const void* source);
  // Releases a block of this list's (in the arena or on the heap); it must be
  // in no list. Neither locks nor unlinks.
  void FreeNode(LinksPair* node) override;
  // Unlinks and frees the first block with `key`. 1 if one was removed, else 0
  // (modified flag unchanged).
  virtual uint32_t RemoveByKey(uint64_t key);
  // Appends copies of the other list's blocks whose keys this list lacks,
  // under the other list's lock. Modified = 1 if any was taken, else 0.
  virtual void MergeFrom(CVarBlockList& other);
  // Serializes the blocks into `buffer` (room for capacity + 4 bytes): as many
  // whole blocks as fit in `capacity`, then a u32 0. Each copy carries the
  // magic at byte 8, zeros in bytes 12..23 and transient 0. Returns the bytes
  // of blocks written + 4; with a null buffer, the bytes all blocks need + 4
  // (saturated at 0xFFFFFFFF). A block whose size is outside 48..0x80000000
  // (only a caller breaking AddBlock's contract can list one) is left out of
  // both. No lock: hold it around the call for a result consistent with the
  // list.
  virtual uint32_t ExportTo(void* buffer, uint32_t capacity);
  // Appends copies of the loaded-tagged blocks of another chain (sentinel
  // `chain_head`, links at byte 8), stopping at the first that cannot be taken.
  // Locked; returns the count taken in.
  virtual uint32_t LoadFromChain(LinksPair* chain_head);
  // Appends copies of the blocks of a serialized sequence whose keys the list
  // lacks; `size_cap` (0 = none) limits each copy's length. Locked after the
  // first probe; returns the count taken in.
  virtual uint32_t LoadFromBuffer(const void* buffer, uint32_t size_cap);

  // AddBlockCopy of a block one of the library's builders assembled in its
  // own work area (`size` bytes, a valid block size): readable by
  // construction, so not probed.
  uint32_t AddOwnBlockCopy(const void* block, uint32_t size);

  void* RequestChain() const { return request_chain_; }
  void SetRequestChain(void* chain) { request_chain_ = chain; }
  int32_t Modified() const { return modified_; }
  void SetModified(int32_t modified) { modified_ = modified; }

  // Whether key lookups currently use the index (diagnostics and tests).
  bool KeyIndexActive();

  static uint8_t* BlockOfNode(LinksPair* node) {
    return reinterpret_cast<uint8_t*>(node) - kBlockNodeOffset;
  }
  static LinksPair* NodeOfBlock(void* block) {
    return reinterpret_cast<LinksPair*>(static_cast<uint8_t*>(block) + kBlockNodeOffset);
  }

 private:
  // A copy of the first `len` bytes of `source` (readable) in the arena,
  // zero-padded; null when memory is short. The lock must be held.
  void* ArenaCopyNoLock(const void* source, uint32_t len);
  bool IndexUsable();
  uint8_t* WalkForKey(uint64_t key);

  void* request_chain_ = nullptr;
  int32_t modified_ = 0;
  KeyIndex index_{Head()};
  BlockArena arena_;
  // 0: not yet known; 1: IsEqualKey is the default (index usable); 2: replaced.
  std::atomic<int8_t> key_equality_{0};
};

// Writes over a copy of a block the header its serialized form carries in
// place of the in-memory one: transient 0, the magic at byte 8, zeros in
// bytes 12..23. ExportTo's rule, and the rule of anything that builds a block
// as it would be stored.
void StampSerializedHeader(uint8_t* copy);

// Whether two blocks of `size` bytes each, as a list or a builder holds them,
// would be serialized to the same bytes: equal wherever StampSerializedHeader
// does not write. Stored blocks compare by SameStoredBlock (entry/list_payload.h).
bool SameOnceSerialized(const uint8_t* a, const uint8_t* b, uint32_t size);

}  // namespace tl
