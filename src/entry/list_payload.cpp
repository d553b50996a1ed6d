#include "entry/list_payload.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "blocklist/block_header.h"
#include "common/le.h"

namespace tl {

void StampPayloadHeader(uint8_t* payload, uint32_t blocks_size, uint32_t count) {
  StoreU16(payload, kPayloadTagOffset, kPayloadTag);
  StoreU16(payload, kPayloadCountOffset, static_cast<uint16_t>(count));
  StoreU32(payload, kPayloadBlocksSizeOffset, blocks_size);
}

const char* PayloadDefectText(uint32_t defect_bit) {
  switch (defect_bit) {
    case kPayloadTooShort:
      return "shorter than the payload header";
    case kPayloadBadTag:
      return "header tag is not 48";
    case kPayloadReservedNonZero:
      return "reserved header bytes not zero";
    case kPayloadSizeMismatch:
      return "blocks size does not match the payload";
    case kPayloadBadBlockSize:
      return "a block size is out of range or runs past the end";
    case kPayloadBadMagic:
      return "a block lacks its magic";
    case kPayloadNoTerminator:
      return "the block sequence has no terminator";
    case kPayloadCountMismatch:
      return "block count does not match the blocks";
    case kPayloadTransientNonZero:
      return "a block's transient field is not zero";
    case kPayloadTrailingBytes:
      return "bytes follow the terminator";
    default:
      return "";
  }
}

namespace {

struct SequenceEnd {
  bool terminated = false;
  size_t covered = 0;  // bytes from the sequence's start to past its terminator
  uint32_t found = 0;  // blocks that passed their checks
};

// A payload held whole in one buffer.
class BufferSource final : public PayloadSource {
 public:
  BufferSource(const uint8_t* data, size_t len) : data_(data), len_(len) {}
  size_t length() const override { return len_; }
  const uint8_t* Bytes(size_t offset, size_t) override { return data_ + offset; }

 private:
  const uint8_t* data_;
  size_t len_;
};

// The block walk shared by payloads and bare sequences; `start` is where the
// sequence begins inside the source, offsets are reported from its start.
SequenceEnd WalkSequence(PayloadSource& source, size_t start, PayloadWalkSink& sink) {
  SequenceEnd end;
  const size_t len = source.length();
  size_t at = start;
  for (int32_t index = 0;; ++index) {
    const size_t left = len - at;
    if (left < kSequenceTerminatorSize) {
      sink.OnDefect({kPayloadNoTerminator, at, -1, left, kSequenceTerminatorSize});
      return end;
    }
    const uint8_t* head = source.Bytes(at, kSequenceTerminatorSize);
    if (head == nullptr) return end;
    const uint32_t size = LoadU32(head, 0);
    if (size == 0) {
      end.terminated = true;
      end.covered = at + kSequenceTerminatorSize - start;
      if (left > kSequenceTerminatorSize) {
        sink.OnDefect({kPayloadTrailingBytes, at + kSequenceTerminatorSize, -1,
                       left - kSequenceTerminatorSize, 0});
      }
      return end;
    }
    const size_t span = std::min(left, std::max<size_t>(size, kBlockLookahead));
    const uint8_t* bytes = source.Bytes(at, span);
    if (bytes == nullptr) return end;
    const uint32_t framing = BlockFramingDefects(bytes, span);
    const PayloadBlockReport block{index, at,  size, left, (framing & kPayloadBadBlockSize) == 0,
                                   bytes, span};
    sink.OnBlock(block);
    if ((framing & kPayloadBadMagic) != 0 &&
        !sink.OnDefect({kPayloadBadMagic, at + kBlockMagicOffset, index,
                        LoadU32(bytes, kBlockMagicOffset), kBlockMagic})) {
      return end;
    }
    if ((framing & kPayloadTransientNonZero) != 0 &&
        !sink.OnDefect({kPayloadTransientNonZero, at + kBlockTransientOffset, index,
                        LoadU32(bytes, kBlockTransientOffset), 0})) {
      return end;
    }
    if (!block.size_ok) {
      sink.OnDefect({kPayloadBadBlockSize, at, index, size, 0});
      return end;
    }
    sink.OnBlockChecked(block);
    ++end.found;
    at += size;
  }
}

// The strict reading: collects defect bits and the blocks it trusts, and ends
// the walk at the first block without its magic.
class StrictSink final : public PayloadWalkSink {
 public:
  StrictSink(std::vector<SequenceBlock>* blocks, uint32_t* defects, bool trailing_is_defect)
      : blocks_(blocks), defects_(defects), trailing_is_defect_(trailing_is_defect) {}
  void OnBlockChecked(const PayloadBlockReport& b) override {
    blocks_->push_back(SequenceBlock{b.offset, b.size});
  }
  bool OnDefect(const PayloadDefectReport& d) override {
    if (d.kind == kPayloadTrailingBytes) {
      // Behind the terminator of a payload: the length disagrees with where
      // the sequence ended. A bare sequence does not know its length.
      if (trailing_is_defect_) *defects_ |= kPayloadSizeMismatch;
      return true;
    }
    *defects_ |= d.kind;
    return d.kind != kPayloadBadMagic;
  }

 private:
  std::vector<SequenceBlock>* blocks_;
  uint32_t* defects_;
  bool trailing_is_defect_;
};

}  // namespace

uint32_t BlockFramingDefects(const uint8_t* block, size_t available) {
  uint32_t defects = 0;
  const uint32_t size = LoadU32(block, kBlockSizeOffset);
  if (!IsValidBlockSize(size) || size > available) defects |= kPayloadBadBlockSize;
  if (available >= kBlockMagicOffset + 4 && LoadU32(block, kBlockMagicOffset) != kBlockMagic) {
    defects |= kPayloadBadMagic;
  }
  if (available >= kBlockHeaderSize && LoadU32(block, kBlockTransientOffset) != 0) {
    defects |= kPayloadTransientNonZero;
  }
  return defects;
}

PayloadHeader ReadPayloadHeader(const uint8_t* data, size_t len) {
  PayloadHeader h;
  if (len < kPayloadHeaderBytes) return h;
  h.present = true;
  h.tag = LoadU16(data, kPayloadTagOffset);
  h.count = LoadU16(data, kPayloadCountOffset);
  h.blocks_size = LoadU32(data, kPayloadBlocksSizeOffset);
  h.reserved = LoadU64(data, kPayloadReservedOffset);
  return h;
}

PayloadHeader WalkListPayload(const uint8_t* data, size_t len, PayloadWalkSink& sink) {
  BufferSource source(data, len);
  return WalkListPayload(source, sink);
}

PayloadHeader WalkListPayload(PayloadSource& source, PayloadWalkSink& sink) {
  const size_t len = source.length();
  const uint8_t* head = len >= kPayloadHeaderBytes ? source.Bytes(0, kPayloadHeaderBytes) : nullptr;
  if (len >= kPayloadHeaderBytes && head == nullptr) return PayloadHeader{};
  const PayloadHeader h = ReadPayloadHeader(head, len);
  if (!h.present) {
    sink.OnDefect({kPayloadTooShort, 0, -1, len, kPayloadHeaderBytes});
    return h;
  }
  if (h.tag != kPayloadTag) {
    sink.OnDefect({kPayloadBadTag, kPayloadTagOffset, -1, h.tag, kPayloadTag});
  }
  if (h.reserved != 0) {
    sink.OnDefect({kPayloadReservedNonZero, kPayloadReservedOffset, -1, h.reserved, 0});
  }
  if (kPayloadHeaderBytes + uint64_t{h.blocks_size} != len) {
    sink.OnDefect({kPayloadSizeMismatch, kPayloadBlocksSizeOffset, -1, h.blocks_size,
                   len - kPayloadHeaderBytes});
  }
  const SequenceEnd end = WalkSequence(source, kPayloadHeaderBytes, sink);
  // Where the terminator ends need not be compared with the blocks size: when
  // the length agrees with the header, a terminator ending elsewhere leaves
  // bytes behind it, reported as kPayloadTrailingBytes.
  // A walk cut short counts the blocks before the cut.
  if ((end.found & 0xFFFF) != h.count) {
    sink.OnDefect({kPayloadCountMismatch, kPayloadCountOffset, -1, end.found, h.count});
  }
  return h;
}

PiecedPayload::~PiecedPayload() { delete[] window_; }

const uint8_t* PiecedPayload::Bytes(size_t offset, size_t len) {
  // The walk asks in order and never past what it asked for before plus the
  // bytes it holds: anything else is no walk's request.
  if (failed_ || offset < base_ || offset > base_ + held_ || len > length_ - offset) {
    failed_ = true;
    return nullptr;
  }
  if (offset + len <= base_ + held_) return window_ + (offset - base_);
  // What lies before `offset` is never asked for again: the rest (less than
  // one block) moves to the front, and the window fills up behind it.
  held_ = base_ + held_ - offset;
  if (held_ != 0) std::memmove(window_, window_ + (offset - base_), held_);
  base_ = offset;
  if (len > capacity_) {
    const size_t want = std::min(length_ - base_, std::max({len, piece_, capacity_ * 2}));
    auto* grown = new (std::nothrow) uint8_t[want];
    if (grown == nullptr) {
      failed_ = true;
      return nullptr;
    }
    if (held_ != 0) std::memcpy(grown, window_, held_);
    delete[] window_;
    window_ = grown;
    capacity_ = want;
  }
  // As much as fits is pulled, so that a window of small blocks is refilled
  // once per piece rather than once per block.
  while (held_ < len) {
    const size_t room = std::min(capacity_ - held_, length_ - base_ - held_);
    size_t got = 0;
    if (!pull_(context_, window_ + held_, room, &got) || got == 0 || got > room) {
      failed_ = true;
      return nullptr;
    }
    held_ += got;
  }
  return window_;
}

size_t WalkBlockSequence(const uint8_t* data, size_t len, std::vector<SequenceBlock>* blocks,
                         uint32_t* defects) {
  StrictSink sink(blocks, defects, /*trailing_is_defect=*/false);
  BufferSource source(data, len);
  const SequenceEnd end = WalkSequence(source, 0, sink);
  return end.terminated ? end.covered : 0;
}

bool ParseListPayload(const uint8_t* data, size_t len, ParsedPayload* out) {
  *out = ParsedPayload{};
  StrictSink sink(&out->blocks, &out->defects, /*trailing_is_defect=*/true);
  const PayloadHeader h = WalkListPayload(data, len, sink);
  out->tag = h.tag;
  out->count = h.count;
  out->blocks_size = h.blocks_size;
  return out->defects == 0;
}

bool SameListPayload(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len) {
  if (a_len != b_len) return false;
  if (a_len < kPayloadHeaderBytes) return std::memcmp(a, b, a_len) == 0;
  if (std::memcmp(a, b, kPayloadHeaderBytes) != 0) return false;
  size_t pos = kPayloadHeaderBytes;
  while (a_len - pos >= kSequenceTerminatorSize) {
    const uint32_t size = LoadU32(a, pos);
    if (size != LoadU32(b, pos)) return false;
    // The terminator, or a size no block has: what follows is compared whole.
    if (size == 0 || !IsValidBlockSize(size) || size > a_len - pos) break;
    if (!SameStoredBlock(a + pos, b + pos, size)) return false;
    pos += size;
  }
  return std::memcmp(a + pos, b + pos, a_len - pos) == 0;
}

bool SameStoredBlock(const uint8_t* a, const uint8_t* b, uint32_t size) {
  if (size <= kBlockLinkRestOffset) return std::memcmp(a, b, size) == 0;
  const uint32_t after = kBlockLinkRestOffset + kBlockLinkRestSize;
  return std::memcmp(a, b, kBlockLinkRestOffset) == 0 &&
         (size <= after || std::memcmp(a + after, b + after, size - after) == 0);
}

}  // namespace tl
