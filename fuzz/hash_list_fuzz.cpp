// The hash list reader over arbitrary text, fed in pieces whose sizes come from
// the input: every line's block must be a sound 200-byte record, and splitting
// the input differently must not change the lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "blocklist/program_block.h"
#include "blocklist/program_block_decode.h"
#include "common/le.h"
#include "entry/hash_list.h"

namespace {

struct Line {
  uint32_t number;
  tl::HashLineStatus status;
  bool cut;
  uint64_t fingerprint;
};

class Sink final : public tl::HashListSink {
 public:
  void OnLine(const tl::HashListLine& line) override {
    uint64_t fp = 0;
    if (line.status == tl::HashLineStatus::kUsed) {
      tl::DecodedProgramBlock d;
      if (line.block_size != tl::kHashBlockSize ||
          !tl::DecodeProgramBlock(line.block, line.block_size, &d) || d.defects != 0 ||
          d.flags != tl::PB_FINGERPRINT || d.name.size() != 18) {
        std::abort();
      }
      fp = d.fingerprint;
      if (fp != ((uint64_t{line.file_size} << 32) | line.crc)) std::abort();
    }
    if (line.number != lines.size() + 1) std::abort();
    lines.push_back({line.number, line.status, line.cut, fp});
  }
  std::vector<Line> lines;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] % 7;
  const uint8_t* text = data + 1;
  const size_t len = size - 1;

  Sink whole, pieces;
  tl::HashListParser a(whole);
  a.Feed(text, len);
  a.Finish();
  tl::HashListParser b(pieces);
  for (size_t at = 0; at < len; at += piece) b.Feed(text + at, len - at < piece ? len - at : piece);
  b.Finish();
  if (whole.lines.size() != pieces.lines.size()) std::abort();
  for (size_t i = 0; i < whole.lines.size(); ++i) {
    const Line& x = whole.lines[i];
    const Line& y = pieces.lines[i];
    if (x.status != y.status || x.cut != y.cut || x.fingerprint != y.fingerprint) std::abort();
  }
  return 0;
}
