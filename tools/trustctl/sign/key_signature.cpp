#include "sign/key_signature.h"

#include "sign/ssh_wire.h"

namespace tl::ctl::sign {
namespace {

constexpr size_t kEd25519SignatureBytes = 64;

KeySignatureParse Problem(std::string problem) {
  KeySignatureParse p;
  p.problem = std::move(problem);
  return p;
}

DigestKind EcdsaDigest(KeyKind kind) {
  switch (kind) {
    case KeyKind::kEcdsaP256:
      return DigestKind::kSha256;
    case KeyKind::kEcdsaP384:
      return DigestKind::kSha384;
    case KeyKind::kEcdsaP521:
    case KeyKind::kEd25519:
    case KeyKind::kRsa:
      break;
  }
  return DigestKind::kSha512;
}

}  // namespace

KeySignatureParse ParseKeySignature(const SshPublicKey& key, std::span<const uint8_t> blob) {
  WireReader r(blob);
  std::string algorithm;
  std::span<const uint8_t> body;
  if (!r.Text(&algorithm) || !r.String(&body)) return Problem("the key's signature is cut short");
  if (!r.AtEnd()) return Problem("bytes follow the key's signature");
  KeySignatureParse p;
  switch (key.kind) {
    case KeyKind::kEd25519:
      if (algorithm != KeyTypeName(key.kind)) {
        return Problem("an Ed25519 key's signature is named \"" + algorithm + "\"");
      }
      if (body.size() != kEd25519SignatureBytes) {
        return Problem("the Ed25519 signature is not 64 bytes");
      }
      p.signature.first.assign(body.begin(), body.begin() + 32);
      p.signature.second.assign(body.begin() + 32, body.end());
      break;
    case KeyKind::kEcdsaP256:
    case KeyKind::kEcdsaP384:
    case KeyKind::kEcdsaP521: {
      if (algorithm != KeyTypeName(key.kind)) {
        return Problem(std::string("a ") + KeyTypeName(key.kind) + " key's signature is named \"" +
                       algorithm + "\"");
      }
      WireReader rs(body);
      if (!rs.Mpint(&p.signature.first) || !rs.Mpint(&p.signature.second) || !rs.AtEnd()) {
        return Problem("the ECDSA signature is not two numbers r and s");
      }
      p.signature.digest = EcdsaDigest(key.kind);
      break;
    }
    case KeyKind::kRsa: {
      if (algorithm == "ssh-rsa") {
        return Problem("RSA signatures with SHA-1 (ssh-rsa) are refused");
      }
      if (algorithm == "rsa-sha2-256") {
        p.signature.digest = DigestKind::kSha256;
      } else if (algorithm != "rsa-sha2-512") {
        return Problem("the RSA signature algorithm \"" + algorithm +
                       "\" is not rsa-sha2-256 or rsa-sha2-512");
      }
      const size_t modulus_bytes = key.rsa_n.size();
      if (body.size() > modulus_bytes) {
        return Problem("the RSA signature is longer than the key's modulus");
      }
      p.signature.first.assign(modulus_bytes - body.size(), 0);
      p.signature.first.insert(p.signature.first.end(), body.begin(), body.end());
      break;
    }
  }
  p.ok = true;
  return p;
}

}  // namespace tl::ctl::sign
