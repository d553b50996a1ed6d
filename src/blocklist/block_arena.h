// BlockArena: the memory of a list's blocks, carved from chunks of 1 MiB
// instead of one heap allocation per block. A list of 150,000 blocks then
// costs about 30 allocations instead of 150,000, and its blocks lie back to
// back in the order they were added, as its payload will hold them.
//
// Each carved block is zero-filled and followed by kSpareBytes zero bytes, as
// a ZeroAlloc block is. A chunk counts the blocks it still holds; when the
// last one is released the chunk goes back to the heap (the chunk being
// carved from is kept and carved from the start again). A block larger than a
// quarter of a chunk gets a ZeroAlloc allocation of its own, which Release
// frees. Memory comes from ZeroAlloc, so its test hook reaches the arena: a
// chunk that cannot be had is an allocation that fails.
//
// Not thread-safe: the list calls it under its lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tl {

class BlockArena {
 public:
  static constexpr size_t kChunkBytes = size_t{1} << 20;

  BlockArena() = default;
  ~BlockArena();
  BlockArena(const BlockArena&) = delete;
  BlockArena& operator=(const BlockArena&) = delete;

  // `size` zeroed bytes followed by kSpareBytes zero bytes; null when the
  // memory cannot be had.
  void* Allocate(uint32_t size);
  // Gives back a block of this arena's (Owns), or frees a heap block
  // (malloc/ZeroAlloc) with free(); null is ignored.
  void Release(void* block);
  // Whether `block` lies in one of this arena's chunks.
  bool Owns(const void* block) const;

  // Chunks held (diagnostics and tests).
  size_t chunk_count() const { return count_; }

 private:
  // The head of a chunk; its blocks follow it.
  struct Chunk {
    size_t used;  // bytes carved, head included
    size_t high;  // bytes ever carved: beyond them the chunk is still zero
    size_t live;  // blocks carved and not yet released
    size_t pad;
  };
  static constexpr size_t kHead = sizeof(Chunk);
  static_assert(kHead % 16 == 0, "blocks start 16-byte aligned");

  // The chunk holding `p`, or null.
  Chunk* Find(const void* p) const;
  bool Insert(Chunk* chunk);
  void Erase(Chunk* chunk);

  Chunk** chunks_ = nullptr;  // sorted by address
  size_t count_ = 0;
  size_t capacity_ = 0;
  Chunk* current_ = nullptr;  // the chunk being carved from
};

}  // namespace tl
