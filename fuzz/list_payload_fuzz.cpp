// A stored list payload over arbitrary bytes: the parser must stay inside the
// bytes, every block it accepts must decode within its own size, and a sound
// payload must load into a list and export back to the same blocks (the first
// of each key, in order), apart from the loaded tag and the link bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "blocklist/block_header.h"
#include "blocklist/program_block_decode.h"
#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "entry/list_payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any read past the input is caught.
  std::vector<uint8_t> bytes(data, data + size);
  tl::ParsedPayload parsed;
  const bool sound = tl::ParseListPayload(bytes.data(), bytes.size(), &parsed);
  for (const tl::SequenceBlock& b : parsed.blocks) {
    if (b.offset + b.size > bytes.size()) std::abort();
    tl::DecodedProgramBlock decoded;
    tl::DecodeProgramBlock(bytes.data() + b.offset, b.size, &decoded);
  }
  if (!sound) return 0;

  tl::CVarBlockList list;
  const uint32_t loaded = list.LoadFromBuffer(bytes.data() + tl::kPayloadHeaderBytes, 0);
  std::vector<const uint8_t*> firsts;
  std::set<uint64_t> keys;
  for (const tl::SequenceBlock& b : parsed.blocks) {
    if (keys.insert(tl::LoadU64(bytes.data() + b.offset, tl::kBlockKeyOffset)).second) {
      firsts.push_back(bytes.data() + b.offset);
    }
  }
  if (loaded != firsts.size()) std::abort();

  const uint32_t measured = list.ExportTo(nullptr, 0);
  std::vector<uint8_t> out(measured + 4u);
  if (list.ExportTo(out.data(), measured) != measured) std::abort();
  size_t at = 0;
  for (const uint8_t* in : firsts) {
    const uint32_t n = tl::LoadU32(in, tl::kBlockSizeOffset);
    for (uint32_t i = 0; i < n; ++i) {
      const bool ignored = (i >= 6 && i < 8) || (i >= 12 && i < 24);
      if (!ignored && out[at + i] != in[i]) std::abort();
    }
    at += n;
  }
  if (tl::LoadU32(out.data(), at) != 0) std::abort();
  return 0;
}
