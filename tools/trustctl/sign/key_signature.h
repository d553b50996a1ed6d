// The signature a key made over the signed data, as SSH encodes it: a blob of
// the wire format (sign/ssh_wire.h) that must name the algorithm its key uses.
//
//   KEY       ALGORITHM NAME (text)   THEN (string)                 DIGEST
//   Ed25519   ssh-ed25519             R || S, 64 bytes              (its own SHA-512)
//   ECDSA     ecdsa-sha2-nistpNNN     a blob: mpint r, mpint s      SHA-256/384/512 for NNN
//                                     (nothing after them)          256/384/521
//   RSA       rsa-sha2-256            the PKCS #1 v1.5 signature,   SHA-256
//             rsa-sha2-512            at most the modulus long      SHA-512
//
// Nothing may follow. RSA signatures with SHA-1 ("ssh-rsa") are refused, as
// ssh-keygen refuses them in SSH signatures.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sign/ssh_key.h"

namespace tl::ctl::sign {

enum class DigestKind { kSha256, kSha384, kSha512 };

struct KeySignature {
  // Ed25519: R and S. ECDSA: r and s (magnitudes). RSA: the signature in
  // `first`, left-padded with zero bytes to the modulus' length.
  std::vector<uint8_t> first;
  std::vector<uint8_t> second;
  DigestKind digest = DigestKind::kSha512;  // ECDSA and RSA: what the data is hashed with
};

struct KeySignatureParse {
  bool ok = false;
  KeySignature signature;
  std::string problem;  // when not ok
};

KeySignatureParse ParseKeySignature(const SshPublicKey& key, std::span<const uint8_t> blob);

}  // namespace tl::ctl::sign
