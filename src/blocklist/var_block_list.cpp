#include "blocklist/var_block_list.h"

#include <cstdlib>
#include <cstring>

#include "blocklist/block_copy.h"
#include "common/le.h"

namespace tl {

namespace {

uint32_t SizeOf(const uint8_t* block) { return LoadU32(block, kBlockSizeOffset); }
uint64_t KeyOf(const uint8_t* block) { return LoadU64(block, kBlockKeyOffset); }

}  // namespace

CVarBlockList::CVarBlockList() {
  SetNodeOffset(kBlockNodeOffset);
  SetLinkObserver(&index_);
}

CVarBlockList::~CVarBlockList() {
  while (request_chain_ != nullptr) {
    void* next = nullptr;
    std::memcpy(&next, static_cast<uint8_t*>(request_chain_) + kRequestNextOffset, sizeof next);
    std::free(request_chain_);
    request_chain_ = next;
  }
  // The blocks go while the arena that holds many of them is still here (the
  // list part's own clearing, after this destructor, would free() them); the
  // index need not hear of it.
  SetLinkObserver(nullptr);
  RemoveAll();
}

void CVarBlockList::FreeNode(LinksPair* node) { arena_.Release(BlockOfNode(node)); }

void* CVarBlockList::ArenaCopyNoLock(const void* source, uint32_t len) {
  void* copy = arena_.Allocate(len);
  if (copy != nullptr) std::memcpy(copy, source, len);
  return copy;
}

uint32_t CVarBlockList::AddOwnBlockCopy(const void* block, uint32_t size) {
  if (block == nullptr || !IsValidBlockSize(size)) return 0;
  Lock();
  void* copy = ArenaCopyNoLock(block, size);
  Unlock();
  return copy == nullptr ? 0 : AddBlock(copy);
}

bool CVarBlockList::IndexUsable() {
  int8_t equality = key_equality_.load(std::memory_order_relaxed);
  if (equality == 0) {
    equality = UsesDefaultKeyEquality() ? 1 : 2;
    key_equality_.store(equality, std::memory_order_relaxed);
  }
  return equality == 1;
}

bool CVarBlockList::KeyIndexActive() { return IndexUsable() && index_.active(); }

uint8_t* CVarBlockList::WalkForKey(uint64_t key) {
  for (LinksPair* n = Head()->next; n != Head(); n = n->next) {
    uint8_t* block = BlockOfNode(n);
    if (IsEqualKey(KeyOf(block), key) != 0) return block;
  }
  return nullptr;
}

uint8_t* CVarBlockList::FindAndLock(uint64_t key) {
  Lock();
  uint8_t* block = FindBlock(key);
  if (block == nullptr) Unlock();
  return block;
}

uint8_t* CVarBlockList::FindBlock(uint64_t key) {
  if (IndexUsable()) {
    LinksPair* first = nullptr;
    if (index_.Find(key, &first)) return first == nullptr ? nullptr : BlockOfNode(first);
  }
  return WalkForKey(key);
}

uint32_t CVarBlockList::AddBlock(void* block) {
  if (block == nullptr) return 0;
  auto* added = static_cast<uint8_t*>(block);
  Lock();
  uint8_t* old = FindBlock(KeyOf(added));
  if (old == added) {
    // Already listed (the caller broke the contract): move it to the tail
    // rather than free a block that stays in use.
    UnlinkNoLock(NodeOfBlock(old));
  } else if (old != nullptr) {
    OnReplace(added, old);
    UnlinkNoLock(NodeOfBlock(old));
    FreeNode(NodeOfBlock(old));
    OnTrace("Update", added);
  }
  OnTrace("Append", added);
  LinkTailNoLock(NodeOfBlock(added));
  modified_ = 1;
  Unlock();
  return 1;
}

uint32_t CVarBlockList::AddBlockCopy(const void* source) {
  // The size field itself must be readable before it can be tested.
  if (!ProbeReadable(source, sizeof(uint32_t))) return 0;
  const uint32_t size = SizeOf(static_cast<const uint8_t*>(source));
  if (!IsValidBlockSize(size) || !ProbeReadable(source, size)) return 0;
  return AddOwnBlockCopy(source, size);
}

uint32_t CVarBlockList::RemoveByKey(uint64_t key) {
  uint8_t* block = FindAndLock(key);
  if (block == nullptr) return 0;
  OnTrace("RemoveBlock", block);
  UnlinkNoLock(NodeOfBlock(block));
  FreeNode(NodeOfBlock(block));
  modified_ = 1;
  Unlock();
  return 1;
}

void CVarBlockList::MergeFrom(CVarBlockList& other) {
  uint32_t count = 0;
  other.Lock();
  LinksPair* const other_head = other.Head();
  for (LinksPair* n = other_head->next; n != other_head; n = n->next) {
    const uint8_t* block = BlockOfNode(n);
    if (FindBlock(KeyOf(block)) != nullptr) continue;
    const uint32_t size = SizeOf(block);
    if (!IsValidBlockSize(size) || !ProbeReadable(block, size)) continue;
    // One hold of this list's lock for the copy (the arena is the list's)
    // and its linking.
    Lock();
    void* copy = ArenaCopyNoLock(block, size);
    if (copy != nullptr) LinkTailNoLock(NodeOfBlock(copy));
    Unlock();
    if (copy == nullptr) continue;
    OnTrace("MergeBlock", static_cast<uint8_t*>(copy));
    ++count;
  }
  other.Unlock();
  modified_ = count != 0 ? 1 : 0;
}

uint32_t CVarBlockList::ExportTo(void* buffer, uint32_t capacity) {
  // Totals in 64 bits: block sizes up to 2 GiB each must not wrap the running
  // total past the capacity test. Blocks with a size that no valid block has
  // (only a broken caller can link one) are left out of both measure and fill,
  // so the two always agree and no reader meets a short header.
  if (buffer == nullptr) {
    uint64_t total = kSequenceTerminatorSize;
    for (LinksPair* n = Head()->next; n != Head(); n = n->next) {
      const uint32_t size = SizeOf(BlockOfNode(n));
      if (IsValidBlockSize(size)) total += size;
    }
    return total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
  }
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t total = 0;
  for (LinksPair* n = Head()->next; n != Head(); n = n->next) {
    const uint8_t* block = BlockOfNode(n);
    const uint32_t size = SizeOf(block);
    if (!IsValidBlockSize(size)) continue;
    if (total + size > capacity) break;
    uint8_t* copy = out + total;
    std::memcpy(copy, block, size);
    OnTrace("Export", block);
    StampSerializedHeader(copy);
    total += size;
  }
  StoreU32(out + total, 0, 0);
  total += kSequenceTerminatorSize;
  return total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
}

uint32_t CVarBlockList::LoadFromChain(LinksPair* chain_head) {
  uint32_t count = 0;
  Lock();
  if (chain_head != nullptr) {
    // Stop after the chain's last node as it stands now, so that loading a
    // list's own chain cannot chase the copies it appends.
    const LinksPair* const last = chain_head->prev;
    for (LinksPair* n = chain_head->next; n != chain_head; n = n->next) {
      const uint8_t* block = BlockOfNode(n);
      if (!ProbeReadable(block, kBlockHeaderSize)) break;
      if (LoadU16(block, kBlockLoadedTagOffset) != kLoadedTag) break;
      const uint32_t size = SizeOf(block);
      if (!IsValidBlockSize(size) || !ProbeReadable(block, size)) break;
      void* copy = ArenaCopyNoLock(block, size);
      if (copy == nullptr) break;
      LinkTailNoLock(NodeOfBlock(copy));
      ++count;
      if (n == last) break;
    }
  }
  Unlock();
  modified_ = count != 0 ? 1 : 0;
  return count;
}

uint32_t CVarBlockList::LoadFromBuffer(const void* buffer, uint32_t size_cap) {
  if (!ProbeReadable(buffer, kBlockHeaderSize)) return 0;
  uint32_t count = 0;
  Lock();
  const auto* cursor = static_cast<const uint8_t*>(buffer);
  for (;;) {
    // Every header is probed before it is read: a sequence without its
    // terminator ends at unreadable memory instead of faulting there.
    if (cursor != buffer && !ProbeReadable(cursor, kBlockHeaderSize)) break;
    const uint32_t size = SizeOf(cursor);
    if (size == 0 || LoadU32(cursor, kBlockMagicOffset) != kBlockMagic) break;
    if (FindBlock(KeyOf(cursor)) == nullptr) {
      if (!IsValidBlockSize(size)) break;
      const bool capped = size_cap != 0 && size_cap <= size;
      const uint32_t len = capped ? size_cap : size;
      void* copy = ProbeReadable(cursor, len) ? ArenaCopyNoLock(cursor, len) : nullptr;
      if (copy == nullptr) break;
      StoreU16(copy, kBlockLoadedTagOffset, kLoadedTag);
      OnTrace(capped ? "LoadNode" : "LoadAll", cursor);
      LinkTailNoLock(NodeOfBlock(copy));
      ++count;
    }
    const uintptr_t next = reinterpret_cast<uintptr_t>(cursor) + size;
    if (next < reinterpret_cast<uintptr_t>(cursor)) break;
    cursor = reinterpret_cast<const uint8_t*>(next);
  }
  Unlock();
  modified_ = count != 0 ? 1 : 0;
  return count;
}

void StampSerializedHeader(uint8_t* copy) {
  StoreU32(copy, kBlockTransientOffset, 0);
  StoreU32(copy, kBlockMagicOffset, kBlockMagic);
  // The rest of the link pointers: zeros rather than heap addresses.
  std::memset(copy + kBlockLinkRestOffset, 0, kBlockLinkRestSize);
}

bool SameOnceSerialized(const uint8_t* a, const uint8_t* b, uint32_t size) {
  if (size < kBlockHeaderSize) return std::memcmp(a, b, size) == 0;
  return std::memcmp(a, b, kBlockNextOffset) == 0 &&
         std::memcmp(a + kBlockKeyOffset, b + kBlockKeyOffset,
                     kBlockTransientOffset - kBlockKeyOffset) == 0 &&
         std::memcmp(a + kBlockHeaderSize, b + kBlockHeaderSize, size - kBlockHeaderSize) == 0;
}

}  // namespace tl
