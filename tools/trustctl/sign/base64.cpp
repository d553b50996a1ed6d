#include "sign/base64.h"

namespace tl::ctl::sign {
namespace {

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool IsSshSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::optional<std::vector<uint8_t>> DecodeSshBase64(std::string_view text) {
  std::vector<uint8_t> out;
  uint32_t group = 0;  // the sextets of the group being read
  int sextets = 0;
  size_t at = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (IsSshSpace(c)) continue;
    if (c == '=') break;
    const int v = SextetOf(c);
    if (v < 0) return std::nullopt;
    group = (group << 6) | static_cast<uint32_t>(v);
    if (++sextets == 4) {
      out.push_back(static_cast<uint8_t>(group >> 16));
      out.push_back(static_cast<uint8_t>(group >> 8));
      out.push_back(static_cast<uint8_t>(group));
      group = 0;
      sextets = 0;
    }
  }
  if (at == text.size()) {
    if (sextets != 0) return std::nullopt;  // a cut group without its padding
    return out;
  }
  // Padding: "xx==" (one byte) or "xxx=" (two bytes).
  if (sextets < 2) return std::nullopt;
  ++at;
  if (sextets == 2) {
    while (at < text.size() && IsSshSpace(text[at])) ++at;
    if (at == text.size() || text[at] != '=') return std::nullopt;
    ++at;
  }
  for (; at < text.size(); ++at) {
    if (!IsSshSpace(text[at])) return std::nullopt;
  }
  if (sextets == 2) {
    if ((group & 0xF) != 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(group >> 4));
  } else {
    if ((group & 0x3) != 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(group >> 10));
    out.push_back(static_cast<uint8_t>(group >> 2));
  }
  return out;
}

}  // namespace tl::ctl::sign
