#include "fingerprint/link_time_stamp.h"

#include "common/le.h"
#include "platform/file.h"

namespace tl {

bool FindLinkTimeStamp(const uint8_t* image, uint32_t size, uint32_t* stamp) {
  if (image == nullptr || size < kMzSignatureOffset + 2) return false;
  if (LoadU16(image, kMzSignatureOffset) != kMzSignature) return false;
  if (size < kPeHeaderPointerOffset + 4) return false;
  const auto header = static_cast<int32_t>(LoadU32(image, kPeHeaderPointerOffset));
  if (header < 0 || static_cast<uint32_t>(header) >= size) return false;
  // 64-bit sums: a header offset near 2^31 plus the field widths stays exact.
  const uint64_t at = static_cast<uint32_t>(header);
  if (at + 4 > size || LoadU32(image, at) != kPeSignature) return false;
  if (at + kPeTimeStampDelta + 4 > size) return false;
  const uint32_t value = LoadU32(image, at + kPeTimeStampDelta);
  if (stamp != nullptr) *stamp = value;
  return true;
}

int ReadLinkTimeStamp(const char16_t* path, uint32_t* stamp) {
  if (path == nullptr) return 0;
  platform::MappedFile file;
  if (!file.Open(path)) return 0;
  return FindLinkTimeStamp(file.data(), file.size(), stamp) ? 1 : 0;
}

}  // namespace tl
