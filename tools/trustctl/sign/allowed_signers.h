// Allowed signers as ssh-keygen reads them (ssh-keygen(1), "ALLOWED SIGNERS"):
// one signer a line,
//
//   principals [options] key-type base64-key [comment]
//
// - principals: a comma-separated list of patterns (sign/ssh_pattern.h) up to
//   the first blank. Its first '"' (if it comes before any blank) opens a
//   quoted part that runs to the next '"' and may hold blanks; both quotes are
//   dropped and the field ends there.
// - options, comma-separated, their names in any case:
//     cert-authority        the key is a certificate authority's and the line
//                           accepts certificates it signed, never the key's own
//                           signatures. Certificates are not supported here, so
//                           such a line accepts nothing; the reason says why.
//     namespaces="list"     the namespaces the key may sign in (a pattern list)
//     valid-after="time"    the key signs from then on (sign/ssh_time.h)
//     valid-before="time"   ... up to and including then
//   A value is quoted and may hold blanks; \" stands for a quote in it. Each of
//   the last three may appear once, and valid-before must be after
//   valid-after. A comma with nothing before it is skipped.
// - the key (sign/ssh_key.h): its full type name, then its blob in base64.
//   A line whose key is of a type OpenSSH knows but trustctl does not verify
//   (certificates, security keys, DSA) is read but can never hold the signing
//   key: signatures by such keys are refused before the search.
//
// A line ends at LF (so CRLF line ends read the same) and its text at a NUL.
// Lines that are blank or whose first non-blank is '#' are comments. A line
// that cannot be read does not spoil the text: like ssh-keygen, which skips it
// with a message, the parse records its problem and reads on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sign/ssh_key.h"

namespace tl::ctl::sign {

struct SignerLine {
  size_t number = 0;       // 1 for the text's first line
  std::string principals;  // the pattern list as written, quotes dropped
  bool cert_authority = false;
  std::optional<std::string> namespaces;  // no option: every namespace
  int64_t valid_after = 0;                // 0: no such bound
  int64_t valid_before = 0;               // 0: no such bound
  KeyParse key;                           // kOk, or kUnsupported with its reason
};

struct LineProblem {
  size_t number = 0;
  std::string problem;
};

struct AllowedSigners {
  std::vector<SignerLine> signers;    // in the text's order
  std::vector<LineProblem> problems;  // the lines that could not be read, in order
};

AllowedSigners ParseAllowedSigners(std::string_view text);

}  // namespace tl::ctl::sign
