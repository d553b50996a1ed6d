#include "sign/sshsig.h"

#include <algorithm>

#include "sign/base64.h"
#include "sign/ssh_wire.h"

namespace tl::ctl::sign {
namespace {

constexpr std::string_view kHeader = "-----BEGIN SSH SIGNATURE-----\n";
constexpr std::string_view kFooter = "\n-----END SSH SIGNATURE-----";
constexpr std::string_view kMagic = "SSHSIG";
constexpr uint32_t kVersion = 1;

SshSignatureParse Problem(SshSignatureParse::Status status, std::string problem) {
  SshSignatureParse p;
  p.status = status;
  p.problem = std::move(problem);
  return p;
}

SshSignatureParse Malformed(std::string problem) {
  return Problem(SshSignatureParse::Status::kMalformed, std::move(problem));
}

void PutString(std::vector<uint8_t>* out, std::span<const uint8_t> s) {
  const auto n = static_cast<uint32_t>(s.size());
  out->push_back(static_cast<uint8_t>(n >> 24));
  out->push_back(static_cast<uint8_t>(n >> 16));
  out->push_back(static_cast<uint8_t>(n >> 8));
  out->push_back(static_cast<uint8_t>(n));
  out->insert(out->end(), s.begin(), s.end());
}

std::span<const uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

SshSignatureParse ParseSshSignature(std::string_view armoured) {
  if (std::all_of(armoured.begin(), armoured.end(), IsSshSpace)) {
    return Problem(SshSignatureParse::Status::kEmpty, "the signature is empty");
  }
  if (!armoured.starts_with(kHeader)) {
    return Malformed("it does not start with the line \"-----BEGIN SSH SIGNATURE-----\"");
  }
  std::string_view body = armoured.substr(kHeader.size());
  const size_t end = body.find(kFooter);
  if (end == std::string_view::npos) {
    return Malformed("no line \"-----END SSH SIGNATURE-----\" follows its base64 text");
  }
  body = body.substr(0, end);
  // A NUL byte ends the base64 text only as its last byte (OpenSSH reads the
  // text as a C string and refuses one with a NUL inside).
  if (!body.empty() && body.back() == '\0') body.remove_suffix(1);
  const std::optional<std::vector<uint8_t>> blob = DecodeSshBase64(body);
  if (!blob) return Malformed("its base64 text is not valid");

  WireReader r(*blob);
  std::span<const uint8_t> magic;
  SshSignatureParse p;
  SshSignature& s = p.signature;
  if (!r.Raw(kMagic.size(), &magic) || !std::equal(magic.begin(), magic.end(), kMagic.begin())) {
    return Malformed("it does not hold an SSHSIG blob");
  }
  if (!r.U32(&s.version)) return Malformed("the blob is cut short");
  if (s.version > kVersion) {
    return Malformed("its version " + std::to_string(s.version) + " is not supported");
  }
  std::span<const uint8_t> key_blob, reserved, key_signature;
  if (!r.String(&key_blob)) return Malformed("the blob is cut short");
  const KeyParse key = ParseSshPublicKey(key_blob);
  if (key.status == KeyStatus::kMalformed) return Malformed("the signing key: " + key.problem);
  if (!r.Text(&s.name_space) || !r.String(&reserved) || !r.Text(&s.hash_algorithm) ||
      !r.String(&key_signature)) {
    return Malformed("the blob is cut short, or its namespace or hash algorithm holds a NUL byte");
  }
  if (!r.AtEnd()) return Malformed("bytes follow the signature in the blob");
  if (key.status == KeyStatus::kUnsupported) {
    return Problem(SshSignatureParse::Status::kUnsupported, "the signing key: " + key.problem);
  }
  s.key = key.key;
  s.key_signature.assign(key_signature.begin(), key_signature.end());
  p.status = SshSignatureParse::Status::kOk;
  return p;
}

std::vector<uint8_t> SignedData(std::string_view name_space, std::string_view hash_algorithm,
                                std::span<const uint8_t> message_digest) {
  std::vector<uint8_t> out(kMagic.begin(), kMagic.end());
  PutString(&out, Bytes(name_space));
  PutString(&out, {});
  PutString(&out, Bytes(hash_algorithm));
  PutString(&out, message_digest);
  return out;
}

}  // namespace tl::ctl::sign
