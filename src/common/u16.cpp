#include "common/u16.h"

namespace tl {

size_t U16Len(const char16_t* s, size_t max) {
  size_t n = 0;
  while (n < max && s[n] != 0) ++n;
  return n;
}

size_t U16Copy(char16_t* dst, size_t dst_cap, const char16_t* src, size_t src_max) {
  const size_t limit = dst_cap - 1 < src_max ? dst_cap - 1 : src_max;
  size_t n = 0;
  for (; n < limit && src[n] != 0; ++n) dst[n] = src[n];
  dst[n] = 0;
  return n;
}

bool U16EqualFoldAscii(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    if (U16FoldAscii(*a) != U16FoldAscii(*b)) return false;
    if (*a == 0) return true;
  }
}

size_t U16FormatAtStar(char16_t* out, size_t cap, const char16_t* s, size_t len) {
  size_t n = 0;
  for (size_t i = 0; i < len && n + 1 < cap; ++i) out[n++] = s[i];
  for (char16_t c : {u'@', u'*'}) {
    if (n + 1 < cap) out[n++] = c;
  }
  out[n] = 0;
  return n;
}

void U16FormatHashName(char16_t (&out)[kHashNameLen + 1], uint32_t size, uint32_t crc) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    out[i] = kHex[(size >> (28 - 4 * i)) & 0xF];
    out[8 + i] = kHex[(crc >> (28 - 4 * i)) & 0xF];
  }
  out[16] = u'.';
  out[17] = u'*';
  out[18] = 0;
}

namespace {

// The code point of the well-formed UTF-8 sequence at s[i] (shortest form, no
// surrogate, at most U+10FFFF) and its length in *len; 0 in *len when the
// bytes there are not one.
uint32_t DecodeUtf8At(std::string_view s, size_t i, size_t* len) {
  *len = 0;
  const auto b0 = static_cast<uint8_t>(s[i]);
  if (b0 < 0x80) {
    *len = 1;
    return b0;
  }
  size_t need = 0;
  uint32_t cp = 0, min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    cp = b0 & 0x1F, need = 1, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    cp = b0 & 0x0F, need = 2, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    cp = b0 & 0x07, need = 3, min = 0x10000;
  } else {
    return 0;
  }
  if (need >= s.size() - i) return 0;  // the sequence is cut off
  for (size_t k = 1; k <= need; ++k) {
    const auto b = static_cast<uint8_t>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *len = need + 1;
  return cp;
}

}  // namespace

std::u16string Utf8ToU16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t len = 0;
    uint32_t cp = DecodeUtf8At(s, i, &len);
    if (len == 0) {
      // A byte that starts no well-formed sequence keeps its value as a lone
      // low surrogate, so that U16ToUtf8 gives the same byte back.
      out.push_back(static_cast<char16_t>(kEscapedByteBase + static_cast<uint8_t>(s[i])));
      ++i;
      continue;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string U16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (IsEscapedByte(static_cast<char16_t>(cp))) {
      out.push_back(static_cast<char>(cp - kEscapedByteBase));
      continue;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace tl
