// Text forms of the values that trustctl prints: hexadecimal numbers, times in
// UTC, and UTF-16 texts made safe for a terminal or a JSON document.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tl::ctl {

// "0x" followed by exactly 4, 8 or 16 lowercase hexadecimal digits.
std::string Hex16(uint16_t v);
std::string Hex32(uint32_t v);
std::string Hex64(uint64_t v);

// The same texts held in place, for a writer that appends them.
struct HexText {
  char digits[18];
  uint8_t size;
  std::string_view view() const { return {digits, size}; }
};
HexText Hex32Text(uint32_t v);
HexText Hex64Text(uint64_t v);

// A FILETIME (100 ns intervals since 1601-01-01 UTC) as
// "YYYY-MM-DDThh:mm:ss.fffffffZ". Every 64-bit value has a text form.
std::string FileTimeToUtc(uint64_t filetime);

// Seconds since 1970-01-01 UTC (a PE link time stamp) as "YYYY-MM-DDThh:mm:ssZ".
std::string UnixTimeToUtc(uint32_t seconds);

// UTF-8 for a terminal: control characters (below 0x20 and 0x7F) and the
// backslash and double quote are escaped as \xNN or \", so one stored text is
// always one printable token on one line. Unpaired surrogates become U+FFFD.
std::string Printable(std::u16string_view s);
std::string Printable(std::string_view utf8);

// The same for a file path in a message: only control characters are escaped,
// so a Windows path keeps its single backslashes; a byte of a POSIX file name
// that is not UTF-8 (held as a lone U+DC80-U+DCFF) is shown as \xNN.
std::string PrintablePath(std::u16string_view s);

// The text of a container path for messages.
std::string Shown(const std::u16string& path);

// A fingerprint as a hash list line writes it and as trustctl prints every
// size and CRC: "0000abcd 12345678", two hexadecimal numbers of eight digits
// (the import reads each token with "%x"; eight digits keep the columns
// aligned and match the hash name form "%08x%08x.*").
std::string HashLine(uint64_t fingerprint);

// Parses an unsigned number written in decimal or with a 0x prefix in hex.
// False for anything else, or when the value does not fit in 32 bits.
bool ParseU32(std::string_view text, uint32_t* out);

// Parses a number written in hexadecimal, with or without a 0x prefix (the
// base of sizes and CRCs wherever trustctl reads them). False for anything
// else, or when the value does not fit in 32 bits.
bool ParseHex32(std::string_view text, uint32_t* out);

}  // namespace tl::ctl
