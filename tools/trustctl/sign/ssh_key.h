// SSH public keys as signatures and allowed-signers lines carry them: a blob
// of the wire format (sign/ssh_wire.h) that starts with the key type's name.
//
//   NAME                  FIELDS THAT FOLLOW THE NAME
//   ssh-ed25519           string: the 32-byte public key                (RFC 8709)
//   ecdsa-sha2-nistpNNN   text: the curve, "nistpNNN" (the same NNN);   (RFC 5656)
//                         string: the point, uncompressed (0x04 || X || Y)
//   ssh-rsa               mpint e; mpint n, of 1024 to 16384 bits        (RFC 4253)
//
// NNN is 256, 384 or 521. Nothing may follow the fields. As in OpenSSH, a
// blob may also name an RSA key "rsa-sha2-256" or "rsa-sha2-512", and name a
// key by its short name in any case ("ED25519", "RSA"); a key line names its
// type only in full. Keys of the other types OpenSSH knows are recognised and
// refused with the reason: DSA, security keys ("sk-..."), certificates
// ("...-cert-v01@openssh.com") and XMSS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tl::ctl::sign {

enum class KeyKind { kEd25519, kEcdsaP256, kEcdsaP384, kEcdsaP521, kRsa };

struct SshPublicKey {
  KeyKind kind = KeyKind::kEd25519;
  // Ed25519: the 32-byte key; ECDSA: the uncompressed point.
  std::vector<uint8_t> point;
  // RSA: big-endian magnitudes without leading zero bytes, so that two
  // encodings of one key compare equal.
  std::vector<uint8_t> rsa_e;
  std::vector<uint8_t> rsa_n;
  bool operator==(const SshPublicKey&) const = default;
};

enum class KeyStatus { kOk, kUnsupported, kMalformed };

struct KeyParse {
  KeyStatus status = KeyStatus::kMalformed;
  SshPublicKey key;     // when kOk
  std::string problem;  // otherwise: what is wrong, or which type is not supported and why
};

KeyParse ParseSshPublicKey(std::span<const uint8_t> blob);

// The supported key a full type name (as a key line writes it) names.
std::optional<KeyKind> KeyKindOfName(std::string_view name);
// Why a type name OpenSSH knows is not supported here; nullopt for the
// supported and the unknown ones.
std::optional<std::string> UnsupportedKeyType(std::string_view name);
// "ssh-ed25519", "ecdsa-sha2-nistp256", ..., "ssh-rsa".
const char* KeyTypeName(KeyKind kind);
// The length of an ECDSA key's coordinates (and of each of r and s at most).
size_t CurveBytes(KeyKind kind);
size_t MagnitudeBits(const std::vector<uint8_t>& magnitude);

}  // namespace tl::ctl::sign
