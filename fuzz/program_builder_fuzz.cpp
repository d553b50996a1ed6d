// The program entry builder over arbitrary description records of at least 2048
// bytes (cbSize is the record's length; the two file addresses are zero): the
// block must be structurally sound, and nothing past the record may be read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "blocklist/program_block_decode.h"
#include "common/le.h"
#include "entry/program_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  const size_t len = size < tl::kPdMinSize ? tl::kPdMinSize : size;
  // Exactly the record's bytes on the heap: a read past it is a finding.
  auto* record = static_cast<uint8_t*>(std::calloc(len, 1));
  if (record == nullptr) return 0;
  std::memcpy(record, data, size);
  tl::StoreU32(record, tl::kPdCbSizeOffset, static_cast<uint32_t>(len));
  tl::StoreU64(record, tl::kPdTimeStampFileOffset, 0);
  tl::StoreU64(record, tl::kPdFingerprintFileOffset, 0);

  static std::vector<uint8_t> work(tl::kProgramWorkBytes);
  uint32_t block_size = 0;
  if (tl::BuildProgramBlock(record, work.data(), &block_size) == 1) {
    tl::DecodedProgramBlock d;
    if (block_size > 6 * 1024 || !tl::DecodeProgramBlock(work.data(), block_size, &d) ||
        d.defects != 0 || d.flags == 0 || d.kind != 2 || d.text1.value_or(u"").size() > 64 ||
        d.text3.value_or(u"").size() > 599 || d.tokens.size() > 4) {
      std::abort();
    }
  }
  std::free(record);
  return 0;
}
