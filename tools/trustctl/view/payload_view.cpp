#include "view/payload_view.h"

#include <vector>

#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "common/le.h"
#include "entry/hash_list.h"
#include "io/format.h"

namespace tl::ctl {
namespace {

// The first block of each key, for the shared-key check of a list of any
// length: open addressing over a power-of-two table, at most 70% full, with
// no allocation per block.
class FirstWithKey {
 public:
  explicit FirstWithKey(size_t expected) {
    size_t capacity = 64;
    while (capacity * 7 < expected * 10) capacity *= 2;
    slots_.assign(capacity, Slot{0, kEmpty});
  }

  // The block that first had `key`; `block` when it is the first.
  int32_t Note(uint64_t key, int32_t block) {
    if ((used_ + 1) * 10 > slots_.size() * 7) Grow();
    Slot& s = Find(key);
    if (s.block == kEmpty) {
      s = {key, block};
      ++used_;
    }
    return s.block;
  }

 private:
  static constexpr int32_t kEmpty = -1;
  struct Slot {
    uint64_t key;
    int32_t block;
  };

  Slot& Find(uint64_t key) {
    const size_t mask = slots_.size() - 1;
    uint64_t h = key ^ (key >> 33);
    h *= 0xff51afd7ed558ccdULL;  // spreads keys that differ in few bits
    h ^= h >> 33;
    for (size_t i = static_cast<size_t>(h) & mask;; i = (i + 1) & mask) {
      if (slots_[i].block == kEmpty || slots_[i].key == key) return slots_[i];
    }
  }

  void Grow() {
    std::vector<Slot> old(slots_.size() * 2, Slot{0, kEmpty});
    old.swap(slots_);
    for (const Slot& s : old) {
      if (s.block != kEmpty) Find(s.key) = s;
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
};

// The tolerant reading: every block the walk meets is decoded and kept, and
// each defect becomes a message at its payload offset. Beyond the walk's
// checks it looks at what only a reader of the whole list sees: a key that is
// not its name's key, two blocks with one key.
class ViewSink final : public PayloadWalkSink {
 public:
  // Each block goes to `visit`, or, without one, into v->blocks.
  ViewSink(size_t len, PayloadView* v, const BlockVisitor* visit)
      : v_(v),
        visit_(visit),
        first_with_key_(len / kHashBlockSize) {}  // most lists are hash list entries

  void OnBlock(const PayloadBlockReport& r) override {
    // The decode sets every field of current_.decoded.
    current_.offset = static_cast<uint32_t>(r.offset);
    // The span judges the block as all the bytes behind it would.
    decoded_ = DecodeProgramBlock(r.bytes, r.span, &current_.decoded);
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
      if ((current_.decoded.defects & bit) == 0) continue;
      Issue(r.offset, r.index, PbDefectText(bit),
            (bit & kPbBoundsDefects) != 0 ? IssueKind::kFraming : IssueKind::kContent);
    }
    if (visit_ != nullptr) {
      (*visit_)(current_);
    } else {
      v_->blocks.push_back(current_);
    }
  }

  void OnBlockChecked(const PayloadBlockReport& r) override {
    if (!decoded_) return;
    const DecodedProgramBlock& b = current_.decoded;
    const uint32_t expected = ComputeOwnNameKey(b.name.c_str());
    if (b.key != expected) {
      Issue(r.offset + kBlockKeyOffset, r.index,
            "key " + Hex64(b.key) + " is not the name key " + Hex32(expected), IssueKind::kContent);
    }
    const int32_t first = first_with_key_.Note(b.key, r.index);
    if (first != r.index) {
      Issue(r.offset + kBlockKeyOffset, r.index,
            "same key as block " + std::to_string(first + 1) + " (the list holds one)",
            IssueKind::kSharedKey);
    }
  }

  bool OnDefect(const PayloadDefectReport& d) override {
    const std::string found = std::to_string(d.found), expected = std::to_string(d.expected);
    switch (d.kind) {
      case kPayloadTooShort:
        Issue(d.offset, d.block, "payload of " + found + " bytes is shorter than its header");
        break;
      case kPayloadBadTag:
        Issue(d.offset, d.block, "header tag is " + found + ", not " + expected);
        break;
      case kPayloadReservedNonZero:
        Issue(d.offset, d.block, "reserved header bytes are not zero");
        break;
      case kPayloadSizeMismatch:
        Issue(
            d.offset, d.block,
            "blocks size " + found + " disagrees with the " + expected + " bytes after the header");
        break;
      case kPayloadNoTerminator:
        cut_short_ = true;
        Issue(d.offset, d.block, "the block sequence has no terminator");
        break;
      case kPayloadTrailingBytes:
        Issue(d.offset, d.block, found + " bytes follow the terminator");
        break;
      case kPayloadBadMagic:
        Issue(d.offset, d.block,
              "block magic is " + Hex32(static_cast<uint32_t>(d.found)) + ", not 'ZeVK'");
        break;
      case kPayloadTransientNonZero:
        Issue(d.offset, d.block, "transient field is not zero in a stored block");
        break;
      case kPayloadBadBlockSize:
        cut_short_ = true;
        Issue(d.offset, d.block, "block size " + found + " ends the walk");
        break;
      case kPayloadCountMismatch:
        // Blocks are counted only by a walk that reached the terminator.
        if (!cut_short_) {
          Issue(d.offset, d.block,
                "block count " + expected + " disagrees with the " + found + " blocks found");
        }
        break;
    }
    return true;  // goes on wherever block sizes still lead
  }

 private:
  // Every defect the walk reports is one of framing (OnDefect); the block's
  // own checks say which of theirs are.
  void Issue(size_t offset, int32_t block, std::string text, IssueKind kind = IssueKind::kFraming) {
    v_->issues.push_back({static_cast<uint32_t>(offset), block, std::move(text), kind});
  }

  PayloadView* v_;
  const BlockVisitor* visit_;
  PayloadBlock current_;
  bool decoded_ = false;
  bool cut_short_ = false;
  FirstWithKey first_with_key_;
};

}  // namespace

namespace {

// The reading of a payload of `len` bytes, which `walk` hands to the sink.
template <typename Walk>
PayloadView Read(size_t len, const BlockVisitor* visit, const Walk& walk) {
  PayloadView v;
  if (len > 0xFFFFFFFFu) {
    // Offsets are reported in 32 bits; a stream never comes near this.
    v.issues.push_back({0, -1, "payload longer than 4 GiB"});
    return v;
  }
  v.length = static_cast<uint32_t>(len);
  ViewSink sink(len, &v, visit);
  const PayloadHeader h = walk(sink);
  v.has_header = h.present;
  v.tag = h.tag;
  v.count = h.count;
  v.blocks_size = h.blocks_size;
  v.reserved = h.reserved;
  return v;
}

}  // namespace

const PayloadIssue* FirstEditStopper(const PayloadView& v) {
  for (const PayloadIssue& issue : v.issues) {
    if (StopsEdit(issue.kind)) return &issue;
  }
  return nullptr;
}

PayloadView ParsePayload(const uint8_t* data, size_t len) {
  return Read(len, nullptr, [&](ViewSink& sink) { return WalkListPayload(data, len, sink); });
}

PayloadView WalkPayload(const uint8_t* data, size_t len, const BlockVisitor& on_block) {
  return Read(len, &on_block, [&](ViewSink& sink) { return WalkListPayload(data, len, sink); });
}

std::vector<uint64_t> PayloadKeys(const uint8_t* data, size_t len) {
  class KeySink final : public PayloadWalkSink {
   public:
    void OnBlockChecked(const PayloadBlockReport& b) override {
      keys.push_back(LoadU64(b.bytes, kBlockKeyOffset));  // a checked block has its 48 bytes
    }
    bool OnDefect(const PayloadDefectReport&) override { return true; }
    std::vector<uint64_t> keys;
  };
  KeySink sink;
  WalkListPayload(data, len, sink);
  return std::move(sink.keys);
}

PayloadView WalkPayload(PayloadSource& source, const BlockVisitor& on_block) {
  return Read(source.length(), &on_block,
              [&](ViewSink& sink) { return WalkListPayload(source, sink); });
}

}  // namespace tl::ctl
