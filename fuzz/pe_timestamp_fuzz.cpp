// The link time stamp reader over arbitrary file images: it must only read
// inside the image and, when it finds a stamp, find the one the headers name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/le.h"
#include "fingerprint/link_time_stamp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that any read past the image is caught.
  auto* image = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
  if (image == nullptr) return 0;
  for (size_t i = 0; i < size; ++i) image[i] = data[i];
  const auto len = static_cast<uint32_t>(size);
  uint32_t stamp = 0xA5A5A5A5u;
  if (tl::FindLinkTimeStamp(size == 0 ? nullptr : image, len, &stamp)) {
    const uint32_t at = tl::LoadU32(image, 60);
    if (at + 12ull > size || tl::LoadU32(image, at + 8) != stamp) std::abort();
  } else if (stamp != 0xA5A5A5A5u) {
    std::abort();
  }
  std::free(image);
  return 0;
}
