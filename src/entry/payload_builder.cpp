#include "entry/payload_builder.h"

#include <cstring>

#include "blocklist/block_header.h"
#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "entry/list_payload.h"
#include "entry/list_stream.h"

namespace tl {

// One key's live block: its offset in the buffer plus one (0: the slot is
// free), and 32 bits of its key's hash, so that a probe reads the key in the
// buffer only when they agree. 8 bytes: the table of a full list is a few
// MiB, each page of it a fault and each probe a cache miss.
struct PayloadBuilder::Slot {
  uint32_t at;
  uint32_t tag;
};
static_assert(sizeof(PayloadBuilder::Slot) == 8);

namespace {

// A replaced block keeps its size, so that the gaps can be walked, and loses
// the magic every stored block carries: that is its mark.
constexpr uint32_t kReplacedMark = 0;

// The most bytes a payload may have: its length is a 32-bit stream size.
constexpr uint64_t kMaxPayload = UINT32_MAX;

// Multiplicative hashing: the top bits of the product pick the slot, the low
// 32 bits (distinct for keys whose low 32 bits differ) are the tag.
uint64_t HashOf(uint64_t key) { return key * 0x9E3779B97F4A7C15ull; }

}  // namespace

PayloadBuilder::~PayloadBuilder() { Clear(); }

void PayloadBuilder::Clear() {
  ZeroFree(bytes_);
  ZeroFree(slots_);
  bytes_ = nullptr;
  slots_ = nullptr;
  used_ = capacity_ = 0;
  slot_count_ = 0;
  live_ = dead_ = 0;
  live_bytes_ = 0;
}

uint64_t PayloadBuilder::payload_size() const {
  return kPayloadHeaderBytes + live_bytes_ + kPayloadTerminatorBytes;
}

bool PayloadBuilder::Reserve(uint64_t block_bytes, uint64_t blocks) {
  return Grow(kPayloadHeaderBytes + block_bytes + kPayloadTerminatorBytes) && GrowIndex(blocks);
}

bool PayloadBuilder::Grow(uint64_t needed) {
  if (needed <= capacity_) return true;
  // Offsets in the key table are 32-bit: the buffer, replaced blocks
  // included until Finish, stays below 4 GiB (a payload's own limit).
  if (needed >= kMaxPayload) return false;
  uint64_t grown = capacity_ * 2;
  if (grown < needed) grown = needed;
  if (grown < 65536) grown = 65536;
  if (grown >= kMaxPayload) grown = kMaxPayload - 1;
  auto* p = static_cast<uint8_t*>(ZeroAlloc(static_cast<size_t>(grown)));
  if (p == nullptr) return false;
  if (bytes_ != nullptr) {
    std::memcpy(p, bytes_, static_cast<size_t>(used_));
    ZeroFree(bytes_);
  } else {
    used_ = kPayloadHeaderBytes;  // room for the header, written by Finish
  }
  bytes_ = p;
  capacity_ = grown;
  return true;
}

PayloadBuilder::Slot* PayloadBuilder::Probe(uint64_t key) const {
  const uint64_t hash = HashOf(key);
  const auto tag = static_cast<uint32_t>(hash);
  const size_t mask = slot_count_ - 1;
  for (size_t i = static_cast<size_t>(hash >> slot_shift_);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.at == 0) return &slots_[i];
    if (slot.tag == tag && LoadU64(bytes_ + slot.at - 1, kBlockKeyOffset) == key) {
      return &slots_[i];
    }
  }
}

bool PayloadBuilder::GrowIndex(uint64_t blocks) {
  // The index holds offsets into the buffer: there is none without it.
  if (bytes_ == nullptr) return false;
  // At most three quarters full, so that a probe stays short.
  if (blocks * 4 <= uint64_t{slot_count_} * 3) return true;
  if (blocks > (kMaxPayload / kMinBlockSize) + 1) return false;
  size_t n = slot_count_ == 0 ? 1024 : slot_count_ * 2;
  int bits = 0;
  while (n * 3 < blocks * 4) n *= 2;
  while ((size_t{1} << bits) < n) ++bits;
  auto* grown = static_cast<Slot*>(ZeroAlloc(n * sizeof(Slot)));
  if (grown == nullptr) return false;
  Slot* old = slots_;
  const size_t old_count = slot_count_;
  slots_ = grown;
  slot_count_ = n;
  slot_shift_ = 64 - bits;
  for (size_t i = 0; old != nullptr && i < old_count; ++i) {
    if (old[i].at != 0) *Probe(LoadU64(bytes_ + old[i].at - 1, kBlockKeyOffset)) = old[i];
  }
  ZeroFree(old);
  return true;
}

bool PayloadBuilder::Add(const uint8_t* block, uint32_t size) {
  if (!IsValidBlockSize(size)) return false;
  const uint64_t key = LoadU64(block, kBlockKeyOffset);
  // The payload as it would be with this block (the one it replaces gone)
  // must stay within one stream's 32-bit length.
  Slot* slot = slots_ != nullptr && bytes_ != nullptr ? Probe(key) : nullptr;
  const Slot* const table = slots_;
  const uint64_t replaced = slot != nullptr && slot->at != 0 ? LoadU32(bytes_, slot->at - 1) : 0;
  if (payload_size() - replaced + size > kMaxPayload) return false;
  if (!Grow((used_ == 0 ? kPayloadHeaderBytes : used_) + size + kPayloadTerminatorBytes) ||
      !GrowIndex(uint64_t{live_} + 1)) {
    return false;
  }
  if (slots_ == nullptr || bytes_ == nullptr) return false;  // both were had just now
  // One probe a block: again only when the table was made or moved just now
  // (growing the buffer moves no slot: they hold offsets).
  if (slot == nullptr || slots_ != table) slot = Probe(key);
  if (slot->at != 0) {
    StoreU32(bytes_ + slot->at - 1, kBlockMagicOffset, kReplacedMark);
    live_bytes_ -= replaced;
    --live_;
    ++dead_;
  }
  uint8_t* copy = bytes_ + used_;
  std::memcpy(copy, block, size);
  StampSerializedHeader(copy);
  slot->tag = static_cast<uint32_t>(HashOf(key));
  slot->at = static_cast<uint32_t>(used_ + 1);
  used_ += size;
  live_bytes_ += size;
  ++live_;
  return true;
}

uint8_t* PayloadBuilder::Finish(uint32_t* size, uint32_t* count) {
  *size = 0;
  *count = 0;
  if (bytes_ == nullptr) Grow(kEmptyPayloadBytes);
  if (bytes_ == nullptr) return nullptr;
  // The gaps of replaced blocks close in one pass, each live block moving down
  // over them in the order it was added: the order a list keeps.
  uint64_t kept = kPayloadHeaderBytes;
  if (dead_ != 0) {
    for (uint64_t at = kPayloadHeaderBytes; at < used_;) {
      const uint32_t block_size = LoadU32(bytes_, at);
      if (LoadU32(bytes_ + at, kBlockMagicOffset) == kBlockMagic) {
        if (kept != at) std::memmove(bytes_ + kept, bytes_ + at, block_size);
        kept += block_size;
      }
      at += block_size;
    }
  } else {
    kept = used_;
  }
  StoreU32(bytes_, kept, 0);
  const auto blocks_size =
      static_cast<uint32_t>(kept - kPayloadHeaderBytes + kSequenceTerminatorSize);
  StampPayloadHeader(bytes_, blocks_size, live_);
  // The bytes behind the terminator are zero, as ZeroAlloc's spare bytes are
  // behind any payload: a gap closed above leaves older bytes there.
  const uint64_t end = kept + kPayloadTerminatorBytes;
  if (end < used_) std::memset(bytes_ + end, 0, static_cast<size_t>(used_ - end));
  *size = static_cast<uint32_t>(end);
  *count = live_;
  uint8_t* out = bytes_;
  bytes_ = nullptr;
  Clear();
  return out;
}

}  // namespace tl
