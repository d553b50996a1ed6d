#include "blocklist/block_arena.h"

#include <cstdlib>
#include <cstring>

#include "common/zalloc.h"

namespace tl {

namespace {

constexpr size_t kAlign = 16;

size_t RoundUp(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

// One entry of the table of chunks: a pointer.
constexpr size_t kSlotBytes = sizeof(void*);

}  // namespace

BlockArena::~BlockArena() {
  for (size_t i = 0; i < count_; ++i) ZeroFree(chunks_[i]);
  ZeroFree(chunks_);
}

BlockArena::Chunk* BlockArena::Find(const void* p) const {
  const auto at = reinterpret_cast<uintptr_t>(p);
  size_t lo = 0, hi = count_;
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (reinterpret_cast<uintptr_t>(chunks_[mid]) <= at) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == 0) return nullptr;
  Chunk* c = chunks_[lo - 1];
  return at < reinterpret_cast<uintptr_t>(c) + kChunkBytes ? c : nullptr;
}

bool BlockArena::Owns(const void* block) const { return Find(block) != nullptr; }

bool BlockArena::Insert(Chunk* chunk) {
  if (count_ == capacity_) {
    const size_t grown = capacity_ == 0 ? 16 : capacity_ * 2;
    auto** table = static_cast<Chunk**>(ZeroAlloc(grown * kSlotBytes));
    if (table == nullptr) return false;
    if (count_ != 0) std::memcpy(table, chunks_, count_ * kSlotBytes);
    ZeroFree(chunks_);
    chunks_ = table;
    capacity_ = grown;
  }
  size_t at = count_;
  while (at > 0 &&
         reinterpret_cast<uintptr_t>(chunks_[at - 1]) > reinterpret_cast<uintptr_t>(chunk)) {
    chunks_[at] = chunks_[at - 1];
    --at;
  }
  chunks_[at] = chunk;
  ++count_;
  return true;
}

void BlockArena::Erase(Chunk* chunk) {
  size_t at = 0;
  while (at < count_ && chunks_[at] != chunk) ++at;
  if (at == count_) return;
  std::memmove(chunks_ + at, chunks_ + at + 1, (count_ - at - 1) * kSlotBytes);
  --count_;
  ZeroFree(chunk);
}

void* BlockArena::Allocate(uint32_t size) {
  const size_t need = RoundUp(size_t{size} + kSpareBytes);
  // A large block would waste most of a chunk: it gets its own allocation.
  if (need > kChunkBytes / 4) return ZeroAlloc(size);
  if (current_ == nullptr || current_->used + need > kChunkBytes) {
    auto* chunk = static_cast<Chunk*>(ZeroAlloc(kChunkBytes));
    if (chunk == nullptr) return nullptr;
    if (!Insert(chunk)) {
      ZeroFree(chunk);
      return nullptr;
    }
    chunk->used = chunk->high = kHead;
    // The chunk given up holds no block any more: nothing keeps it.
    if (current_ != nullptr && current_->live == 0) Erase(current_);
    current_ = chunk;
  }
  auto* block = reinterpret_cast<uint8_t*>(current_) + current_->used;
  // Bytes carved before (and released since) are zeroed again; beyond the
  // high mark the chunk is as ZeroAlloc gave it.
  if (current_->used < current_->high) {
    const size_t stale = current_->high - current_->used;
    std::memset(block, 0, stale < need ? stale : need);
  }
  current_->used += need;
  if (current_->used > current_->high) current_->high = current_->used;
  ++current_->live;
  return block;
}

void BlockArena::Release(void* block) {
  if (block == nullptr) return;
  Chunk* c = Find(block);
  if (c == nullptr) {
    std::free(block);
    return;
  }
  if (--c->live != 0) return;
  if (c == current_) {
    c->used = kHead;  // carved again from the start
  } else {
    Erase(c);
  }
}

}  // namespace tl
