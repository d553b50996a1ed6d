#include "platform/console_text.h"

#include "common/u16.h"

namespace tl::ctl {

size_t WholeUtf8Prefix(std::string_view s) {
  // A sequence is at most 4 bytes: look back at most 3 for its lead byte.
  const size_t n = s.size();
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto b = static_cast<unsigned char>(s[n - back]);
    if ((b & 0xC0) == 0x80) continue;  // a continuation byte: the lead is further back
    const size_t need = (b & 0xE0) == 0xC0   ? 2
                        : (b & 0xF0) == 0xE0 ? 3
                        : (b & 0xF8) == 0xF0 ? 4
                                             : 1;
    return need > back ? n - back : n;
  }
  return n;
}

Utf16OutBuf::~Utf16OutBuf() { Drain(/*final=*/true); }

Utf16OutBuf::int_type Utf16OutBuf::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  pending_.push_back(traits_type::to_char_type(c));
  if (pending_.size() >= kDrainBytes && !Drain(/*final=*/false)) return traits_type::eof();
  return c;
}

std::streamsize Utf16OutBuf::xsputn(const char* s, std::streamsize n) {
  pending_.append(s, static_cast<size_t>(n));
  if (pending_.size() >= kDrainBytes && !Drain(/*final=*/false)) return 0;
  return n;
}

int Utf16OutBuf::sync() { return Drain(/*final=*/false) ? 0 : -1; }

bool Utf16OutBuf::Drain(bool final) {
  const size_t whole = final ? pending_.size() : WholeUtf8Prefix(pending_);
  if (whole == 0) return true;
  std::u16string text = Utf8ToU16(std::string_view(pending_).substr(0, whole));
  pending_.erase(0, whole);
  // A byte that is no UTF-8 comes back as a lone U+DC80..U+DCFF (the lossless
  // escape paths need); a console cannot show that, so it shows U+FFFD.
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool after_high = i > 0 && text[i - 1] >= 0xD800 && text[i - 1] <= 0xDBFF;
    if (c >= 0xDC80 && c <= 0xDCFF && !after_high) text[i] = 0xFFFD;
  }
  return sink_(text);
}

}  // namespace tl::ctl
