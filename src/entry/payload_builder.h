// PayloadBuilder: a stream payload (layout in entry/list_payload.h) built
// straight from blocks as they come, for the roads that make a whole list at
// once (the imports) and never need it as a list in between.
//
// It keeps the list's rule exactly: a block whose key is already held replaces
// that block and moves to the end (CVarBlockList::AddBlock), and every block is
// stored with the header its serialized form carries (StampSerializedHeader).
// So Finish gives byte for byte what adding the same blocks to an empty list
// and building its payload (BuildListPayload) gives, while every byte is
// copied once into one buffer: no block is allocated on its own, no second
// buffer is filled from a first.
//
// A replaced block stays in the buffer, marked, until Finish closes the gaps
// in one pass. Memory comes from ZeroAlloc, so an allocation failure is what it
// is on every other road (the test hook reaches it); the builder then keeps
// what it held and Add reports the failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tl {

class PayloadBuilder {
 public:
  PayloadBuilder() = default;
  ~PayloadBuilder();
  PayloadBuilder(const PayloadBuilder&) = delete;
  PayloadBuilder& operator=(const PayloadBuilder&) = delete;

  // Makes room for about `blocks` blocks of `block_bytes` bytes in all, in
  // one allocation each for the bytes and the key table, so that a list whose
  // size is known in advance is never moved or rehashed while it grows. False
  // when the memory cannot be had (the builder stays usable and grows as
  // blocks come).
  bool Reserve(uint64_t block_bytes, uint64_t blocks);

  // Adds a copy of `block` (`size` bytes, a valid block size, its key at the
  // block's key offset). False, with nothing changed, when the size is not a
  // block's, the payload would outgrow one stream, or memory is short.
  bool Add(const uint8_t* block, uint32_t size);

  // The blocks held (a replaced one no longer counts).
  uint32_t count() const { return live_; }
  // The payload's length if it were finished now.
  uint64_t payload_size() const;

  // Closes the gaps, writes the header and the terminator, and hands the
  // payload over (release it with ZeroFree; 32 zero bytes follow it). The
  // builder is empty afterwards. Null only when memory for an empty payload
  // cannot be had.
  uint8_t* Finish(uint32_t* size, uint32_t* count);

 public:
  struct Slot;

 private:
  bool Grow(uint64_t needed);
  bool GrowIndex(uint64_t blocks);
  Slot* Probe(uint64_t key) const;
  void Clear();

  uint8_t* bytes_ = nullptr;  // header room, then the blocks as added
  uint64_t used_ = 0;         // bytes of `bytes_` in use, header room included
  uint64_t capacity_ = 0;
  Slot* slots_ = nullptr;  // key -> offset of its live block; power-of-two count
  size_t slot_count_ = 0;
  int slot_shift_ = 64;      // 64 - log2(slot_count_)
  uint64_t live_bytes_ = 0;  // bytes of the blocks held
  uint32_t live_ = 0;
  uint32_t dead_ = 0;
};

}  // namespace tl
