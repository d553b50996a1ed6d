#include "payload_view.h"

#include <unordered_map>

#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "common/le.h"
#include "entry/hash_list.h"
#include "format.h"

namespace tl::ctl {
namespace {

void Issue(PayloadView* v, uint32_t offset, int32_t block, std::string text) {
  v->issues.push_back({offset, block, std::move(text)});
}

}  // namespace

PayloadHead ReadPayloadHead(const uint8_t* data, size_t len) {
  PayloadHead h;
  if (len < kPayloadHeaderBytes) return h;
  h.has_header = true;
  h.tag = LoadU16(data, kPayloadTagOffset);
  h.count = LoadU16(data, kPayloadCountOffset);
  h.blocks_size = LoadU32(data, kPayloadBlocksSizeOffset);
  h.reserved = LoadU64(data, kPayloadReservedOffset);
  return h;
}

PayloadView WalkPayload(const uint8_t* data, size_t len, const BlockVisitor& on_block) {
  PayloadView v;
  uint32_t found = 0;  // blocks met
  if (len > 0xFFFFFFFFu) {
    Issue(&v, 0, -1, "payload longer than 4 GiB");
    return v;
  }
  v.length = static_cast<uint32_t>(len);
  if (len < kPayloadHeaderBytes) {
    Issue(&v, 0, -1, "payload of " + std::to_string(len) + " bytes is shorter than its header");
    return v;
  }
  const PayloadHead head = ReadPayloadHead(data, len);
  v.has_header = head.has_header;
  v.tag = head.tag;
  v.count = head.count;
  v.blocks_size = head.blocks_size;
  v.reserved = head.reserved;
  if (v.tag != kPayloadTag)
    Issue(&v, 0, -1,
          "header tag is " + std::to_string(v.tag) + ", not " + std::to_string(kPayloadTag));
  if (v.reserved != 0) Issue(&v, 8, -1, "reserved header bytes are not zero");
  if (uint64_t{kPayloadHeaderBytes} + v.blocks_size != len) {
    Issue(&v, 4, -1,
          "blocks size " + std::to_string(v.blocks_size) + " disagrees with the " +
              std::to_string(len - kPayloadHeaderBytes) + " bytes after the header");
  }

  std::unordered_map<uint64_t, int32_t> first_with_key;
  first_with_key.reserve(len / kHashBlockSize);  // most lists are hash list entries
  size_t at = kPayloadHeaderBytes;
  bool terminated = false;
  while (true) {
    if (len - at < 4) {
      Issue(&v, static_cast<uint32_t>(at), -1, "the block sequence has no terminator");
      break;
    }
    const uint32_t size = LoadU32(data, at);
    if (size == 0) {
      terminated = true;
      if (len - at > 4) {
        Issue(&v, static_cast<uint32_t>(at + 4), -1,
              std::to_string(len - at - 4) + " bytes follow the terminator");
      }
      break;
    }
    const auto index = static_cast<int32_t>(found);
    const auto offset = static_cast<uint32_t>(at);
    PayloadBlock b;
    b.offset = offset;
    const bool decoded = DecodeProgramBlock(data + at, len - at, &b.decoded);
    for (uint32_t left = b.decoded.defects; left != 0; left &= left - 1) {
      Issue(&v, offset, index, PbDefectText(left & (~left + 1)));  // lowest bit first
    }
    if (b.decoded.magic != kBlockMagic && len - at >= kBlockMagicOffset + 4) {
      Issue(&v, offset + kBlockMagicOffset, index,
            "block magic is " + Hex32(b.decoded.magic) + ", not 'ZeVK'");
    }
    if (b.decoded.transient != 0 && len - at >= kBlockHeaderSize) {
      Issue(&v, offset + kBlockTransientOffset, index,
            "transient field is not zero in a stored block");
    }
    if (decoded) {
      const uint32_t expected = ComputeOwnNameKey(b.decoded.name.c_str());
      if (b.decoded.key != expected) {
        Issue(&v, offset + kBlockKeyOffset, index,
              "key " + Hex64(b.decoded.key) + " is not the name key " + Hex32(expected));
      }
      const auto [it, inserted] = first_with_key.emplace(b.decoded.key, index);
      if (!inserted) {
        Issue(&v, offset + kBlockKeyOffset, index,
              "same key as block " + std::to_string(it->second + 1) + " (the list holds one)");
      }
    }
    on_block(b);
    ++found;
    // A size that does not leave the next block's start inside the payload, or
    // that could not even hold the fixed fields, ends the walk.
    if (size < kMinBlockSize || size > len - at) {
      Issue(&v, offset, index, "block size " + std::to_string(size) + " ends the walk");
      break;
    }
    at += size;
  }
  if (terminated && v.count != static_cast<uint16_t>(found)) {
    Issue(&v, 2, -1,
          "block count " + std::to_string(v.count) + " disagrees with the " +
              std::to_string(found) + " blocks found");
  }
  return v;
}

PayloadView ParsePayload(const uint8_t* data, size_t len) {
  std::vector<PayloadBlock> blocks;
  PayloadView v = WalkPayload(data, len, [&](const PayloadBlock& b) { blocks.push_back(b); });
  v.blocks = std::move(blocks);
  return v;
}

}  // namespace tl::ctl
