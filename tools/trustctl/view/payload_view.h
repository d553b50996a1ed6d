// A checked reading of one stream payload: the 16-byte payload header, then the
// serialized program blocks back to back, ended by a u32 0.
//
//   OFFSET          SIZE             CONTENT
//   0               2                header tag, always 48
//   2               2                block count, low 16 bits
//   4               4                blocks size: bytes from offset 16 to the end
//   8               8                reserved, 0
//   16              blocks size - 4  program blocks; each has 'ZeVK' at its byte 8
//                                    and 0 at its byte 44
//   12+blocks size  4                terminator, 0
//
// The library's payload walk (WalkListPayload) read tolerantly: unlike the
// strict ParseListPayload, which stops at the first block it cannot trust, this
// reading goes on while block sizes still say where the next block begins,
// decodes every block, and names each defect the walk reports with its payload
// offset; it also checks what only a reader of the whole list sees (a key that
// is not the name's key, two blocks with one key). Every read is bounded by the
// bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "blocklist/program_block_decode.h"
#include "entry/list_payload.h"

namespace tl::ctl {

struct PayloadBlock {
  uint32_t offset = 0;  // payload offset of the block
  DecodedProgramBlock decoded;
};

// The decode defects that leave a block without usable bounds (a size that is
// out of range, runs past the payload, or cannot hold a program record): the
// block cannot be read, or told apart from what follows it, as a record.
inline constexpr uint32_t kPbBoundsDefects =
    kPbDefectTooShort | kPbDefectSizeRange | kPbDefectSizeBeyondBuffer | kPbDefectSizeShape;

// What a finding concerns. The one place that decides which findings stop an
// edit is StopsEdit below; verify and lint report every kind.
enum class IssueKind : uint8_t {
  // The payload's framing: its header, blocks size, terminator or block count,
  // or a block's bounds (kPbBoundsDefects), magic or transient field, the
  // bytes that say where blocks lie and that the serialized sequence fixes.
  // What the walk reads past it cannot be trusted, and a list written back
  // would not keep it as stored.
  kFraming,
  // A block with the key of an earlier block: a list holds one block per key,
  // so a list read from the payload would drop one of them.
  kSharedKey,
  // Inside one block whose framing is sound: reserved bytes set, unknown flag
  // bits, a pool that does not decode, a key that is not its name's key. The
  // block is read whole and written back byte for byte, as export and apply
  // keep it: a finding, not damage.
  kContent,
};

// Whether a list with a finding of this kind must not be edited (read, changed
// and written back): only a block's odd content is kept as it is.
constexpr bool StopsEdit(IssueKind kind) { return kind != IssueKind::kContent; }

struct PayloadIssue {
  uint32_t offset;  // payload offset the issue concerns
  int32_t block;    // index of the block concerned, or -1
  std::string text;
  IssueKind kind = IssueKind::kFraming;
};

struct PayloadView {
  uint32_t length = 0;  // bytes of the payload
  uint16_t tag = 0;
  uint16_t count = 0;
  uint32_t blocks_size = 0;
  uint64_t reserved = 0;
  bool has_header = false;  // at least 16 bytes were there
  std::vector<PayloadBlock> blocks;
  std::vector<PayloadIssue> issues;
};

// The payload header's fields as stored (present: the payload is long enough
// to hold one).
inline PayloadHeader HeadOf(const std::vector<uint8_t>& payload) {
  return ReadPayloadHeader(payload.data(), payload.size());
}

// The first issue of `v` that stops an edit (StopsEdit), or null.
const PayloadIssue* FirstEditStopper(const PayloadView& v);

// Reads the payload of `len` bytes. Never reads outside them.
PayloadView ParsePayload(const uint8_t* data, size_t len);

// The same reading, handing each block to `on_block` as it is met (in payload
// order) instead of keeping it: the view returned holds the header and every
// issue, and no blocks. Memory stays bounded for a list of any length.
using BlockVisitor = std::function<void(const PayloadBlock&)>;
PayloadView WalkPayload(const uint8_t* data, size_t len, const BlockVisitor& on_block);
// The name keys of the blocks of a payload, in stored order, as far as its
// framing leads (each block's key read where it lies; a block cut short by
// the payload's end gives none).
std::vector<uint64_t> PayloadKeys(const uint8_t* data, size_t len);

// The same over a payload handed in pieces. Where the source fails the walk
// ends short, and the view is no verdict (the caller asks the source).
PayloadView WalkPayload(PayloadSource& source, const BlockVisitor& on_block);

}  // namespace tl::ctl
