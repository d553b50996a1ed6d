// The cryptography of list signatures, all of it done by libgcrypt: the
// digests and the check of a key's signature. Nothing here parses; the
// callers hand over keys and signatures already read (sign/ssh_key.h,
// sign/key_signature.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sign/key_signature.h"
#include "sign/ssh_key.h"

namespace tl::ctl::sign {

// Starts libgcrypt on first use, once per process: the version check, no
// secure memory (only public keys are handled), then the end of
// initialisation. False when the library is older than the headers trustctl
// was built with; every later call says the same.
bool CryptoReady();

// The digest of `data`; empty when the library is not ready.
std::vector<uint8_t> Digest(DigestKind kind, std::span<const uint8_t> data);

struct SignatureCheck {
  enum class Result {
    kValid,    // the key signed exactly `signed_data`
    kInvalid,  // it did not
    kError,    // the library refused the key or signature: `detail` says why
  };
  Result result = Result::kError;
  std::string detail;
};

SignatureCheck CheckKeySignature(const SshPublicKey& key, const KeySignature& signature,
                                 std::span<const uint8_t> signed_data);

}  // namespace tl::ctl::sign
