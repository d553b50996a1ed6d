// The SSH wire format (RFC 4251, section 5) as SSH signatures and keys use it:
//
//   TYPE     ENCODING
//   uint32   4 bytes, big-endian
//   string   uint32 length, then that many bytes
//   text     a string holding no NUL byte (OpenSSH's "cstring")
//   mpint    a string holding a two's complement big-endian number; here only
//            non-negative ones are read (the top bit of the first byte clear),
//            of at most 16384 bits (a sign byte of zero may precede them)
//
// A reader never reads past its bytes: a read that does not fit fails, and
// after a failure every later read fails too, so a caller may check once at
// the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tl::ctl::sign {

// The largest mpint magnitude read, in bytes (OpenSSH's SSHBUF_MAX_BIGNUM).
constexpr size_t kMaxMpintBytes = 16384 / 8;

class WireReader {
 public:
  explicit WireReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool U32(uint32_t* value);
  bool String(std::span<const uint8_t>* value);
  bool Text(std::string* value);
  // The magnitude, big-endian, without leading zero bytes (zero: empty).
  bool Mpint(std::vector<uint8_t>* magnitude);
  // The next `n` bytes as they are.
  bool Raw(size_t n, std::span<const uint8_t>* value);

  bool ok() const { return ok_; }
  bool AtEnd() const { return ok_ && at_ == bytes_.size(); }

 private:
  bool Fail() {
    ok_ = false;
    return false;
  }
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace tl::ctl::sign
