// Text files as Windows tools save them: UTF-8 with or without a byte order
// mark, and UTF-16 with one (what Windows PowerShell's `>` and `Out-File`
// write). The hash list and jsonl readers take UTF-8 bytes; this turns the
// others into that, piece by piece, so that a saved list reads as the same
// lines whatever its encoding. UTF-16 without a byte order mark is not
// guessed at: its NUL bytes make every line unusable, and the reader refuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tl::ctl {

class TextDecoder {
 public:
  enum class Encoding { kUnknown, kUtf8, kUtf8Bom, kUtf16Le, kUtf16Be };

  // Appends the UTF-8 form of the next `len` bytes of the file to `out`
  // (bytes may come in pieces of any size; a piece may end inside a character).
  void Feed(const uint8_t* data, size_t len, std::vector<uint8_t>* out);
  // Appends what is still held at the end of the file (a cut character
  // becomes U+FFFD).
  void Finish(std::vector<uint8_t>* out);

  Encoding encoding() const { return encoding_; }
  // "UTF-8", "UTF-8 with a byte order mark", "UTF-16LE", "UTF-16BE".
  const char* encoding_name() const;

 private:
  void Unit(char16_t u, std::vector<uint8_t>* out);
  Encoding encoding_ = Encoding::kUnknown;
  uint8_t pending_[3] = {};  // bytes held before the encoding is known, or an odd byte
  size_t pending_len_ = 0;
  char16_t high_ = 0;  // a high surrogate waiting for its low half
};

}  // namespace tl::ctl
