#include "sign/list_signature.h"

#include <span>

#include "sign/allowed_signers.h"
#include "sign/key_signature.h"
#include "sign/signer_search.h"
#include "sign/sshsig.h"
#include "sign/verify.h"

namespace tl::ctl::sign {
namespace {

SignatureVerdict Refuse(std::string reason) {
  SignatureVerdict v;
  v.reason = std::move(reason);
  return v;
}

}  // namespace

SignatureVerdict VerifyListSignature(const uint8_t* data, size_t len,
                                     std::string_view signature_text,
                                     std::string_view allowed_signers_text, int64_t now_unix) {
  const SshSignatureParse parsed = ParseSshSignature(signature_text);
  switch (parsed.status) {
    case SshSignatureParse::Status::kOk:
      break;
    case SshSignatureParse::Status::kEmpty:
      return Refuse(parsed.problem);
    case SshSignatureParse::Status::kMalformed:
      return Refuse("malformed signature: " + parsed.problem);
    case SshSignatureParse::Status::kUnsupported:
      return Refuse("unsupported signature: " + parsed.problem);
  }
  const SshSignature& sig = parsed.signature;
  DigestKind message_digest = DigestKind::kSha512;
  if (sig.hash_algorithm == "sha256") {
    message_digest = DigestKind::kSha256;
  } else if (sig.hash_algorithm != "sha512") {
    return Refuse("the signature's hash algorithm \"" + sig.hash_algorithm +
                  "\" is not sha256 or sha512");
  }
  if (sig.name_space != kListNamespace) {
    return Refuse("the signature was made for the namespace \"" + sig.name_space + "\", not \"" +
                  std::string(kListNamespace) + "\"");
  }
  const KeySignatureParse key_signature = ParseKeySignature(sig.key, sig.key_signature);
  if (!key_signature.ok) return Refuse("unusable signature: " + key_signature.problem);

  const std::span<const uint8_t> message(data, data == nullptr ? 0 : len);
  const std::vector<uint8_t> digest = Digest(message_digest, message);
  if (digest.empty()) return Refuse("the cryptography library (libgcrypt) could not start");
  const std::vector<uint8_t> signed_data = SignedData(kListNamespace, sig.hash_algorithm, digest);
  const SignatureCheck check = CheckKeySignature(sig.key, key_signature.signature, signed_data);
  switch (check.result) {
    case SignatureCheck::Result::kValid:
      break;
    case SignatureCheck::Result::kInvalid:
      return Refuse("the signature is not valid for this list");
    case SignatureCheck::Result::kError:
      return Refuse("the signature cannot be checked: " + check.detail);
  }

  const SignerSearch signer =
      FindSigner(ParseAllowedSigners(allowed_signers_text), sig.key, kListNamespace, now_unix);
  if (!signer.found) return Refuse(signer.reason);
  SignatureVerdict v;
  v.ok = true;
  v.principal = signer.principal;
  return v;
}

}  // namespace tl::ctl::sign
