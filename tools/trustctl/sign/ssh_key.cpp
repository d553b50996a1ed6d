#include "sign/ssh_key.h"

#include <bit>

#include "sign/ssh_wire.h"

namespace tl::ctl::sign {
namespace {

struct NamedKind {
  std::string_view name;
  KeyKind kind;
};

// Full names first; the RSA signature names count as RSA key names, as in OpenSSH.
constexpr NamedKind kFullNames[] = {
    {"ssh-ed25519", KeyKind::kEd25519},
    {"ecdsa-sha2-nistp256", KeyKind::kEcdsaP256},
    {"ecdsa-sha2-nistp384", KeyKind::kEcdsaP384},
    {"ecdsa-sha2-nistp521", KeyKind::kEcdsaP521},
    {"ssh-rsa", KeyKind::kRsa},
    {"rsa-sha2-256", KeyKind::kRsa},
    {"rsa-sha2-512", KeyKind::kRsa},
};

constexpr size_t kMinRsaBits = 1024;
constexpr size_t kMaxRsaBits = 16384;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The kind a blob's name gives: a full name, or a short name in any case
// (OpenSSH's short name "ECDSA" names no curve, so no ECDSA key reads with it).
std::optional<KeyKind> KindOfBlobName(std::string_view name) {
  if (auto kind = KeyKindOfName(name)) return kind;
  if (SameIgnoringCase(name, "ed25519")) return KeyKind::kEd25519;
  if (SameIgnoringCase(name, "rsa")) return KeyKind::kRsa;
  return std::nullopt;
}

const char* CurveName(KeyKind kind) {
  switch (kind) {
    case KeyKind::kEcdsaP256:
      return "nistp256";
    case KeyKind::kEcdsaP384:
      return "nistp384";
    case KeyKind::kEcdsaP521:
      return "nistp521";
    case KeyKind::kEd25519:
    case KeyKind::kRsa:
      break;
  }
  return "";
}

KeyParse Malformed(std::string problem) {
  KeyParse p;
  p.problem = std::move(problem);
  return p;
}

}  // namespace

std::optional<KeyKind> KeyKindOfName(std::string_view name) {
  for (const NamedKind& n : kFullNames) {
    if (n.name == name) return n.kind;
  }
  return std::nullopt;
}

std::optional<std::string> UnsupportedKeyType(std::string_view name) {
  if (name.ends_with("-cert-v01@openssh.com")) {
    return "certificates (" + std::string(name) + ") are not supported";
  }
  if (name.starts_with("sk-") || name.starts_with("webauthn-sk-")) {
    return "security keys (" + std::string(name) + ") are not supported";
  }
  if (name == "ssh-dss") return std::string("DSA keys (ssh-dss) are not supported");
  if (name == "ssh-xmss@openssh.com") return std::string("XMSS keys are not supported");
  return std::nullopt;
}

const char* KeyTypeName(KeyKind kind) {
  switch (kind) {
    case KeyKind::kEd25519:
      return "ssh-ed25519";
    case KeyKind::kEcdsaP256:
      return "ecdsa-sha2-nistp256";
    case KeyKind::kEcdsaP384:
      return "ecdsa-sha2-nistp384";
    case KeyKind::kEcdsaP521:
      return "ecdsa-sha2-nistp521";
    case KeyKind::kRsa:
      break;
  }
  return "ssh-rsa";
}

size_t CurveBytes(KeyKind kind) {
  switch (kind) {
    case KeyKind::kEcdsaP256:
      return 32;
    case KeyKind::kEcdsaP384:
      return 48;
    case KeyKind::kEcdsaP521:
      return 66;
    case KeyKind::kEd25519:
    case KeyKind::kRsa:
      break;
  }
  return 0;
}

size_t MagnitudeBits(const std::vector<uint8_t>& magnitude) {
  if (magnitude.empty()) return 0;
  return (magnitude.size() - 1) * 8 + static_cast<size_t>(std::bit_width(magnitude[0]));
}

KeyParse ParseSshPublicKey(std::span<const uint8_t> blob) {
  WireReader r(blob);
  std::string name;
  if (!r.Text(&name)) return Malformed("no key type name");
  const std::optional<KeyKind> kind = KindOfBlobName(name);
  if (!kind) {
    if (auto why = UnsupportedKeyType(name)) {
      KeyParse p;
      p.status = KeyStatus::kUnsupported;
      p.problem = *why;
      return p;
    }
    return Malformed("unknown key type \"" + name + "\"");
  }
  KeyParse p;
  p.key.kind = *kind;
  switch (*kind) {
    case KeyKind::kEd25519: {
      std::span<const uint8_t> pk;
      if (!r.String(&pk)) return Malformed("the Ed25519 key is cut short");
      if (pk.size() != 32) return Malformed("the Ed25519 key is not 32 bytes");
      p.key.point.assign(pk.begin(), pk.end());
      break;
    }
    case KeyKind::kEcdsaP256:
    case KeyKind::kEcdsaP384:
    case KeyKind::kEcdsaP521: {
      std::string curve;
      std::span<const uint8_t> point;
      if (!r.Text(&curve) || !r.String(&point)) return Malformed("the ECDSA key is cut short");
      if (curve != CurveName(*kind)) return Malformed("the ECDSA key's curve is not its type's");
      if (point.size() != 1 + 2 * CurveBytes(*kind) || point[0] != 0x04) {
        return Malformed("the ECDSA key's point is not an uncompressed point of its curve");
      }
      p.key.point.assign(point.begin(), point.end());
      break;
    }
    case KeyKind::kRsa: {
      if (!r.Mpint(&p.key.rsa_e) || !r.Mpint(&p.key.rsa_n)) {
        return Malformed("the RSA key is cut short or holds a negative or oversized number");
      }
      const size_t bits = MagnitudeBits(p.key.rsa_n);
      if (bits < kMinRsaBits || bits > kMaxRsaBits) {
        return Malformed("the RSA key has " + std::to_string(bits) + " bits, not 1024 to 16384");
      }
      break;
    }
  }
  if (!r.AtEnd()) return Malformed("bytes follow the key");
  p.status = KeyStatus::kOk;
  return p;
}

}  // namespace tl::ctl::sign
