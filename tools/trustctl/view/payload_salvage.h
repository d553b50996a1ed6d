// What a damaged stream payload still holds: every program block that can be
// read whole and told apart from its neighbours, in payload order, one per
// key, and what was left behind and why. The payload's layout is in
// view/payload_view.h.
//
// A block is taken when the walk's own checks pass (BlockFramingDefects:
// size, magic, transient), its decoding finds usable bounds (no
// kPbBoundsDefects) and its size leads somewhere a payload can go on: where
// the bytes end, to the terminator in the payload's last 4 bytes, to a block
// with its magic, or to one whose size leads to such a place. So a block whose
// size was damaged into another plausible value is not taken with the wrong
// length: where its size leads, nothing fits.
//
// At a block that cannot be taken the reading resynchronises: the bytes up to
// the next place where a block can be taken (found by its magic) are
// dropped, with the reason the first of them failed. The walk goes on from
// there, so every sound block before and after the damage is kept. Blocks are
// taken in payload order; a block with the key of one taken before it is
// dropped as a duplicate (the first is kept, as a list loaded from a stream
// keeps it). What is odd inside a block taken (reserved bytes, a key that is
// not its name's) is kept as stored: it is a finding, not damage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "entry/list_payload.h"

namespace tl::ctl {

// Payload bytes [offset, offset + length) left behind, and why.
struct SalvageDrop {
  uint32_t offset = 0;
  uint32_t length = 0;
  std::string reason;
};

// A block left behind because a block taken before it has its key.
struct SalvageDuplicate {
  uint32_t offset = 0;  // payload offset of the block dropped
  uint64_t key = 0;
  std::u16string name;    // its name, as far as it decodes
  size_t kept_index = 0;  // the block kept in its place, as an index of `kept`
};

struct PayloadSalvage {
  std::vector<SequenceBlock> kept;  // payload offset and size, in payload order
  std::vector<SalvageDrop> dropped;
  std::vector<SalvageDuplicate> duplicates;
  // What is wrong with the payload header (the list is written under a new
  // one): texts of PayloadDefectText.
  std::vector<std::string> header_notes;
  // The walk reached the place of the terminator and found it there: every
  // block of the payload was walked (see SalvagePayload).
  bool terminated = false;
};

// Salvages the `len` bytes of a payload: all of it (`whole`: the stream's
// recorded length was read), whose terminator belongs in its last 4 bytes,
// or only its first part (a stream whose chain was cut), where a block the
// bytes end inside is dropped and the terminator is looked for only where
// the payload header says the payload ends. The walk starts behind the
// payload header and goes to the terminator's place (or the end of the
// bytes); every byte on the way lies in exactly one block kept, one
// duplicate or one range dropped. Never reads outside the bytes.
PayloadSalvage SalvagePayload(const uint8_t* data, size_t len, bool whole);

}  // namespace tl::ctl
