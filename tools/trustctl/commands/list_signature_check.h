// apply's check that a list comes from its owner: the jsonl file's exact bytes
// against an SSH signature (ssh-keygen -Y sign -n trustlist), by a key an
// allowed-signers file trusts now. Only the bytes that were checked are the
// bytes applied: the caller reads the file once and hands those bytes here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/failure.h"

namespace tl::ctl {

struct SignatureFiles {
  std::string allowed_signers;  // the allowed-signers file
  std::string signature;        // the signature; empty: the list's path + ".sig"
};

// The signature file a list is checked against: `files.signature`, or beside
// the list. Empty when there is none to take (a list read from standard input
// needs --signature).
std::string SignaturePath(const std::string& list_arg, const SignatureFiles& files);

// True with the principal whose line accepted the signature; false with
// *failure (kind kSignature, naming the file and the reason; or kInput when a
// file cannot be read).
bool CheckListSignature(const std::vector<uint8_t>& list, const std::string& list_shown,
                        const std::string& list_arg, const SignatureFiles& files,
                        std::string* principal, Failure* failure);

}  // namespace tl::ctl
