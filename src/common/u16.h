// UTF-16 (char16_t) text in fixed buffers counted in code units. Portable code
// keeps every path and name as char16_t (wchar_t is 32-bit on Linux); only the
// platform seam converts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tl {

// Code units before the terminator, looking at no more than `max` units.
// Returns `max` when no terminator lies within them.
size_t U16Len(const char16_t* s, size_t max);

// Copies units of `src` up to its terminator, at most `src_max` and at most
// `dst_cap` - 1, and terminates `dst`. Returns the units copied. dst_cap > 0.
size_t U16Copy(char16_t* dst, size_t dst_cap, const char16_t* src, size_t src_max);

// 'A'-'Z' mapped to 'a'-'z'; every other code unit unchanged (no locale).
inline constexpr char16_t U16FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

// Equality of two terminated strings, folding only 'A'-'Z'.
bool U16EqualFoldAscii(const char16_t* a, const char16_t* b);

// "%s@*": the `len` units of `s` followed by "@*", cut to fit `cap` - 1 units,
// terminated. Returns the units written.
size_t U16FormatAtStar(char16_t* out, size_t cap, const char16_t* s, size_t len);

// "%08x%08x.*": size and crc as 8 lowercase hex digits each, then ".*" —
// always kHashNameLen units plus the terminator.
inline constexpr size_t kHashNameLen = 18;
void U16FormatHashName(char16_t (&out)[kHashNameLen + 1], uint32_t size, uint32_t crc);

// Conversions for the POSIX seam, the tools and the tests. They are lossless
// for bytes: a byte that starts no well-formed UTF-8 sequence (a stray 0x80-0xFF,
// a cut or overlong sequence, an encoded surrogate) becomes the lone unit
// U+DC00 + byte, and U16ToUtf8 turns such a lone unit back into that byte, so
// U16ToUtf8(Utf8ToU16(b)) == b for every byte string b (a POSIX path keeps
// naming the same file). Any other unpaired surrogate becomes U+FFFD. Not used
// on the library's own paths on Windows.
inline constexpr char16_t kEscapedByteBase = 0xDC00;
inline constexpr bool IsEscapedByte(char16_t u) { return u >= 0xDC80 && u <= 0xDCFF; }
std::u16string Utf8ToU16(std::string_view s);
std::string U16ToUtf8(std::u16string_view s);

}  // namespace tl
