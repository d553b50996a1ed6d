// Text for a console that takes UTF-16 (Windows: WriteConsoleW). The commands
// write UTF-8; shown as bytes, a console would read them in its own code page
// and garble every character outside ASCII. This stream buffer collects the
// UTF-8 and hands it on as UTF-16, never splitting a character: a sequence cut
// by a write (or a full buffer) waits for its remaining bytes. Bytes that are
// no UTF-8 become U+FFFD, as everywhere the tool converts.
#pragma once

#include <cstddef>
#include <functional>
#include <streambuf>
#include <string>
#include <string_view>

namespace tl::ctl {

// The length of the longest prefix of `s` that does not end inside a UTF-8
// sequence which more bytes could still complete.
size_t WholeUtf8Prefix(std::string_view s);

class Utf16OutBuf : public std::streambuf {
 public:
  // Receives converted text; false when it could not be written, which makes
  // the stream fail (so that main reports the failure).
  using Sink = std::function<bool(std::u16string_view)>;
  explicit Utf16OutBuf(Sink sink) : sink_(std::move(sink)) {}
  // Hands on what is left, an unfinished sequence as U+FFFD.
  ~Utf16OutBuf() override;
  Utf16OutBuf(const Utf16OutBuf&) = delete;
  Utf16OutBuf& operator=(const Utf16OutBuf&) = delete;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  // Hands on the whole characters collected (all bytes when `final`).
  bool Drain(bool final);

  // Collected bytes are handed on once this many wait, and at every flush.
  static constexpr size_t kDrainBytes = 4096;
  Sink sink_;
  std::string pending_;
};

}  // namespace tl::ctl
