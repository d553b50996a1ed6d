#include "io/format.h"

#include <cstdio>

#include "common/u16.h"

namespace tl::ctl {
namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian), valid for any
// day count a 64-bit FILETIME can express.
void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

std::string DateTime(int64_t seconds_since_1970) {
  const int64_t days = seconds_since_1970 >= 0 ? seconds_since_1970 / 86400
                                               : -((-seconds_since_1970 + 86399) / 86400);
  const int64_t rest = seconds_since_1970 - days * 86400;
  int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days, &y, &m, &d);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02u", static_cast<long long>(y), m, d,
                static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
                static_cast<unsigned>(rest % 60));
  return buf;
}

// Calls emit(code point, was_valid) for each code point of a UTF-16 text.
template <typename F>
void ForEachCodePoint(std::u16string_view s, F emit) {
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      emit(0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00u), true);
      ++i;
    } else {
      emit(cp, !(cp >= 0xD800 && cp <= 0xDFFF));
    }
  }
}

void AppendUtf8(std::string* out, uint32_t cp) {
  std::u16string unit;
  if (cp >= 0x10000) {
    unit.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
    unit.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
  } else {
    unit.push_back(static_cast<char16_t>(cp));
  }
  *out += U16ToUtf8(unit);
}

}  // namespace

namespace {

HexText HexDigits(uint64_t v, uint8_t digits) {
  constexpr char kDigits[] = "0123456789abcdef";
  HexText t;
  t.size = static_cast<uint8_t>(2 + digits);
  t.digits[0] = '0';
  t.digits[1] = 'x';
  for (uint8_t i = 0; i < digits; ++i) {
    t.digits[1 + digits - i] = kDigits[v & 15];
    v >>= 4;
  }
  return t;
}

}  // namespace

HexText Hex32Text(uint32_t v) { return HexDigits(v, 8); }
HexText Hex64Text(uint64_t v) { return HexDigits(v, 16); }

std::string Hex16(uint16_t v) { return std::string(HexDigits(v, 4).view()); }
std::string Hex32(uint32_t v) { return std::string(Hex32Text(v).view()); }
std::string Hex64(uint64_t v) { return std::string(Hex64Text(v).view()); }

std::string FileTimeToUtc(uint64_t filetime) {
  // 11644473600 seconds lie between 1601-01-01 and 1970-01-01.
  const auto seconds = static_cast<int64_t>(filetime / 10000000) - 11644473600LL;
  char frac[16];
  std::snprintf(frac, sizeof frac, ".%07uZ", static_cast<unsigned>(filetime % 10000000));
  return DateTime(seconds) + frac;
}

std::string UnixTimeToUtc(uint32_t seconds) { return DateTime(seconds) + "Z"; }

namespace {

std::string Escaped(std::u16string_view s, bool quote_marks) {
  std::string out;
  ForEachCodePoint(s, [&](uint32_t cp, bool valid) {
    // In a path, a lone U+DC80-U+DCFF is a byte of the file name that is not
    // UTF-8 (see Utf8ToU16): shown as that byte.
    if (!valid && !quote_marks && cp >= 0xDC80 && cp <= 0xDCFF) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", cp - 0xDC00);
      out += buf;
      return;
    }
    if (!valid) cp = 0xFFFD;
    if (cp < 0x20 || cp == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", cp);
      out += buf;
    } else if (quote_marks && (cp == '\\' || cp == '"')) {
      out.push_back('\\');
      out.push_back(static_cast<char>(cp));
    } else {
      AppendUtf8(&out, cp);
    }
  });
  return out;
}

}  // namespace

std::string Printable(std::u16string_view s) { return Escaped(s, true); }

std::string Printable(std::string_view utf8) { return Printable(Utf8ToU16(utf8)); }

std::string PrintablePath(std::u16string_view s) { return Escaped(s, false); }

std::string Shown(const std::u16string& path) { return PrintablePath(path); }

bool ParseU32(std::string_view text, uint32_t* out) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    v = v * base + digit;
    if (v > 0xFFFFFFFFu) return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

bool ParseHex32(std::string_view text, uint32_t* out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  if (text.empty() || text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
    return false;
  }
  return ParseU32("0x" + std::string(text), out);
}

std::string HashLine(uint64_t fingerprint) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%08x %08x", static_cast<unsigned>(fingerprint >> 32),
                static_cast<unsigned>(fingerprint & 0xFFFFFFFFu));
  return buf;
}

}  // namespace tl::ctl
