// Base64 as OpenSSH reads it in signatures and in key lines (its b64_pton),
// which is laxer than RFC 4648 in one way and stricter in another:
//   - whitespace (space, tab, CR, LF, VT, FF) anywhere is skipped;
//   - padding is optional only at a whole group of four; when present it must
//     be complete ("xx==" or "xxx=", blanks allowed between), and nothing but
//     whitespace may follow it;
//   - the bits past the last whole byte must be zero;
//   - any other byte (NUL included) refuses the whole text.
// Whitespace alone decodes to no bytes. trustctl's JSON base64 (view/) is the
// strict RFC 4648 form; this one exists because a signature or key that
// ssh-keygen reads must read the same here.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tl::ctl::sign {

std::optional<std::vector<uint8_t>> DecodeSshBase64(std::string_view text);

// The whitespace that the SSH texts skip (C's isspace in the "C" locale).
bool IsSshSpace(char c);

}  // namespace tl::ctl::sign
