// Whether a trust list is signed by a key that the allowed signers trust: the
// answer `ssh-keygen -Y verify -n trustlist` gives for the principals that
// `ssh-keygen -Y find-principals` finds (sign/signer_search.h), for a
// signature that `ssh-keygen -Y sign -n trustlist` wrote (sign/sshsig.h) and
// an allowed-signers text (sign/allowed_signers.h).
//
// The checks, in order; the first that fails gives the reason:
//   1. the signature text is an SSH signature, by a key of a supported type
//      (Ed25519; ECDSA on P-256, P-384, P-521; RSA with rsa-sha2-256 or
//      rsa-sha2-512);
//   2. its hash algorithm is sha256 or sha512, and its namespace "trustlist";
//   3. the key signed this list (libgcrypt, sign/verify.h);
//   4. an allowed-signers line holds the key and allows it, at `now_unix`, to
//      sign in the namespace "trustlist".
// Any bytes, in any of the three inputs, give a verdict; nothing is thrown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tl::ctl::sign {

// The namespace a trust list's signature must be made in:
// `ssh-keygen -Y sign -n trustlist`.
inline constexpr std::string_view kListNamespace = "trustlist";

struct SignatureVerdict {
  bool ok = false;
  std::string principal;  // when ok: the principal whose allowed-signers line accepted
  std::string reason;     // when not ok: a short English text naming what is wrong
};

SignatureVerdict VerifyListSignature(const uint8_t* data, size_t len,
                                     std::string_view signature_text,
                                     std::string_view allowed_signers_text, int64_t now_unix);

}  // namespace tl::ctl::sign
