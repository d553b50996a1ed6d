#include "view/payload_salvage.h"

#include <cstdint>
#include <unordered_map>

#include "blocklist/block_header.h"
#include "blocklist/program_block_decode.h"
#include "common/le.h"
#include "view/payload_view.h"

namespace tl::ctl {
namespace {

constexpr size_t kMagicEnd = kBlockMagicOffset + 4;

uint32_t LowestBit(uint32_t bits) { return bits & (~bits + 1); }

// The bytes walked, and where the payload's terminator belongs: in the last
// 4 bytes of a payload read whole; in a payload read only in part, where its
// header says the payload ends, if the bytes reach that far (kNoEnd: nowhere).
struct Bytes {
  static constexpr size_t kNoEnd = SIZE_MAX;
  const uint8_t* data;
  size_t len;
  size_t end;
  bool whole;

  // The place of the terminator: a walk that reaches it has read every block.
  // In a payload read whole the place counts even when its bytes are damaged;
  // in a part, only a u32 0 there ends the payload.
  bool TerminatorPlace(size_t at) const {
    return end != kNoEnd && at + kSequenceTerminatorSize == end &&
           (whole || LoadU32(data, at) == 0);
  }
  // Whether a payload can go on at `at`: its terminator belongs there, a
  // block with its magic begins there, or (in a part only) the bytes end too
  // soon after it to tell.
  bool GoesOn(size_t at) const {
    if (TerminatorPlace(at) || (!whole && len - at < kMagicEnd)) return true;
    return len - at >= kMagicEnd && LoadU32(data, at + kBlockMagicOffset) == kBlockMagic;
  }
  // GoesOn, or a block whose magic is damaged begins there and its size leads
  // where the payload goes on: a block before it is not blamed for its damage.
  bool Leads(size_t at) const {
    if (GoesOn(at)) return true;
    if (len - at < kSequenceTerminatorSize) return false;
    const uint32_t size = LoadU32(data, at);
    return IsValidBlockSize(size) && size <= len - at && GoesOn(at + size);
  }
};

// The size of the block at `at` when it can be taken whole (see the header),
// its decoding in *b; else 0 and *reason says why not.
uint32_t TakeAt(const Bytes& s, size_t at, DecodedProgramBlock* b, std::string* reason) {
  const size_t left = s.len - at;
  if (left < kSequenceTerminatorSize) {
    *reason = "the bytes end inside a block's size field";
    return 0;
  }
  const uint32_t size = LoadU32(s.data, at);
  const uint32_t framing = BlockFramingDefects(s.data + at, left);
  if (framing != 0) {
    const bool cut = !s.whole && IsValidBlockSize(size) && size > left;
    *reason = cut ? "the bytes read end " + std::to_string(left) + " bytes into this " +
                        std::to_string(size) + "-byte block"
                  : PayloadDefectText(LowestBit(framing));
    return 0;
  }
  // Where the size leads is judged before the block is decoded, so that a
  // scan for a place to resume decodes only blocks it then takes.
  if (!s.Leads(at + size)) {
    *reason = "its size, " + std::to_string(size) + " bytes, leads to no block";
    return 0;
  }
  const bool decoded = DecodeProgramBlock(s.data + at, left, b);
  if (!decoded || (b->defects & kPbBoundsDefects) != 0) {
    *reason = PbDefectText(LowestBit(b->defects & kPbBoundsDefects));
    return 0;
  }
  return size;
}

// Where, behind damage at `at`, a block can be taken again or the payload
// ends: the next place with a block's magic whose block can be taken, the
// terminator, or the end of the bytes.
size_t Resynchronise(const Bytes& s, size_t at) {
  DecodedProgramBlock b;
  std::string ignored;
  for (size_t next = at + 1; next < s.len; ++next) {
    if (s.TerminatorPlace(next)) return next;
    if (s.len - next >= kMagicEnd && LoadU32(s.data, next + kBlockMagicOffset) == kBlockMagic &&
        TakeAt(s, next, &b, &ignored) != 0) {
      return next;
    }
  }
  return s.len;
}

void NoteHeader(const Bytes& s, PayloadSalvage* out) {
  const PayloadHeader h = ReadPayloadHeader(s.data, s.len);
  if (h.tag != kPayloadTag) out->header_notes.push_back(PayloadDefectText(kPayloadBadTag));
  if (h.reserved != 0) out->header_notes.push_back(PayloadDefectText(kPayloadReservedNonZero));
  if (s.whole && kPayloadHeaderBytes + uint64_t{h.blocks_size} != s.len) {
    out->header_notes.push_back(PayloadDefectText(kPayloadSizeMismatch));
  }
}

}  // namespace

PayloadSalvage SalvagePayload(const uint8_t* data, size_t len, bool whole) {
  PayloadSalvage out;
  if (len < kPayloadHeaderBytes) {
    out.header_notes.push_back(PayloadDefectText(kPayloadTooShort));
    if (len != 0) out.dropped.push_back({0, static_cast<uint32_t>(len), "no payload header"});
    return out;
  }
  const uint64_t told = kPayloadHeaderBytes + uint64_t{ReadPayloadHeader(data, len).blocks_size};
  const Bytes s{data, len,
                whole         ? len
                : told <= len ? static_cast<size_t>(told)
                              : Bytes::kNoEnd,
                whole};
  NoteHeader(s, &out);
  std::unordered_map<uint64_t, size_t> first_with_key;
  size_t at = kPayloadHeaderBytes;
  while (at < s.len) {
    if (s.TerminatorPlace(at)) {
      out.terminated = LoadU32(data, at) == 0;
      break;
    }
    DecodedProgramBlock b;
    std::string reason;
    const uint32_t size = TakeAt(s, at, &b, &reason);
    if (size == 0) {
      const size_t next = Resynchronise(s, at);
      out.dropped.push_back(
          {static_cast<uint32_t>(at), static_cast<uint32_t>(next - at), std::move(reason)});
      at = next;
      continue;
    }
    const auto [it, first] = first_with_key.emplace(b.key, out.kept.size());
    if (first) {
      out.kept.push_back({at, size});
    } else {
      out.duplicates.push_back({static_cast<uint32_t>(at), b.key, b.name, it->second});
    }
    at += size;
  }
  if (whole && !out.terminated) {
    out.header_notes.push_back(PayloadDefectText(kPayloadNoTerminator));
  }
  const size_t found = out.kept.size() + out.duplicates.size();
  if (out.terminated && out.dropped.empty() &&
      (found & 0xFFFF) != ReadPayloadHeader(data, len).count) {
    out.header_notes.push_back(PayloadDefectText(kPayloadCountMismatch));
  }
  return out;
}

}  // namespace tl::ctl
