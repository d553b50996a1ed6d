#include "sign/ssh_wire.h"

#include <algorithm>

namespace tl::ctl::sign {

bool WireReader::Raw(size_t n, std::span<const uint8_t>* value) {
  if (!ok_ || bytes_.size() - at_ < n) return Fail();
  *value = bytes_.subspan(at_, n);
  at_ += n;
  return true;
}

bool WireReader::U32(uint32_t* value) {
  std::span<const uint8_t> b;
  if (!Raw(4, &b)) return false;
  *value = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  return true;
}

bool WireReader::String(std::span<const uint8_t>* value) {
  uint32_t len = 0;
  return U32(&len) && Raw(len, value);
}

bool WireReader::Text(std::string* value) {
  std::span<const uint8_t> s;
  if (!String(&s)) return false;
  if (std::find(s.begin(), s.end(), uint8_t{0}) != s.end()) return Fail();
  value->assign(s.begin(), s.end());
  return true;
}

bool WireReader::Mpint(std::vector<uint8_t>* magnitude) {
  std::span<const uint8_t> s;
  if (!String(&s)) return false;
  if (!s.empty() && (s[0] & 0x80) != 0) return Fail();  // negative
  if (s.size() > kMaxMpintBytes + 1 || (s.size() == kMaxMpintBytes + 1 && s[0] != 0)) {
    return Fail();
  }
  size_t zeros = 0;
  while (zeros < s.size() && s[zeros] == 0) ++zeros;
  magnitude->assign(s.begin() + static_cast<std::ptrdiff_t>(zeros), s.end());
  return true;
}

}  // namespace tl::ctl::sign
