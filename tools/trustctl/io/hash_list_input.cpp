#include "io/hash_list_input.h"

#include <vector>

#include "io/input_file.h"
#include "io/progress.h"

namespace tl::ctl {

bool FeedHashList(const std::string& arg, HashListSink& sink, Io& io, uint64_t* bytes,
                  TextDecoder* decoder, std::string* error,
                  const std::function<void(uint64_t)>& expect) {
  InputFile in;
  if (!in.Open(arg, "hash list", error)) return false;
  HashListParser parser(sink);
  const int64_t size = in.SeekableSize();
  if (size > 0 && expect) expect(static_cast<uint64_t>(size));
  Progress progress(io, "bytes of the hash list read:", size > 0 ? static_cast<size_t>(size) : 0,
                    size_t{1} << 20, size_t{1} << 20);
  size_t total = 0;
  std::vector<uint8_t> chunk(65536), text;
  while (true) {
    size_t got = 0;
    if (!in.Read(chunk.data(), chunk.size(), &got, error)) return false;
    text.clear();
    if (got == 0) {
      decoder->Finish(&text);
    } else {
      decoder->Feed(chunk.data(), got, &text);
    }
    parser.Feed(text.data(), text.size());
    if (got == 0) break;
    total += got;
    progress.Step(total);
  }
  parser.Finish();
  *bytes = total;
  return true;
}

}  // namespace tl::ctl
