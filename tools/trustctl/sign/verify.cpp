#include "sign/verify.h"

#include <gcrypt.h>

#include <memory>

namespace tl::ctl::sign {
namespace {

struct SexpRelease {
  void operator()(gcry_sexp_t s) const { gcry_sexp_release(s); }
};
using Sexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpRelease>;

struct MpiRelease {
  void operator()(gcry_mpi_t m) const { gcry_mpi_release(m); }
};
using Mpi = std::unique_ptr<std::remove_pointer_t<gcry_mpi_t>, MpiRelease>;

int DigestAlgorithm(DigestKind kind) {
  switch (kind) {
    case DigestKind::kSha256:
      return GCRY_MD_SHA256;
    case DigestKind::kSha384:
      return GCRY_MD_SHA384;
    case DigestKind::kSha512:
      break;
  }
  return GCRY_MD_SHA512;
}

const char* DigestName(DigestKind kind) {
  switch (kind) {
    case DigestKind::kSha256:
      return "sha256";
    case DigestKind::kSha384:
      return "sha384";
    case DigestKind::kSha512:
      break;
  }
  return "sha512";
}

const char* CurveOf(KeyKind kind) {
  switch (kind) {
    case KeyKind::kEcdsaP256:
      return "NIST P-256";
    case KeyKind::kEcdsaP384:
      return "NIST P-384";
    case KeyKind::kEcdsaP521:
      return "NIST P-521";
    case KeyKind::kEd25519:
    case KeyKind::kRsa:
      break;
  }
  return "Ed25519";
}

// An unsigned big-endian number; zero for no bytes.
Mpi Number(const std::vector<uint8_t>& magnitude) {
  gcry_mpi_t m = nullptr;
  if (magnitude.empty()) return Mpi(gcry_mpi_new(0));
  if (gcry_mpi_scan(&m, GCRYMPI_FMT_USG, magnitude.data(), magnitude.size(), nullptr) != 0) {
    return nullptr;
  }
  return Mpi(m);
}

SignatureCheck Error(const char* what, gcry_error_t err) {
  SignatureCheck c;
  c.detail = std::string(what) + ": " + gcry_strerror(err);
  return c;
}

// The three S-expressions of a check, built for the key's kind.
gcry_error_t Build(const SshPublicKey& key, const KeySignature& sig,
                   std::span<const uint8_t> signed_data, Sexp* pkey, Sexp* data, Sexp* sigval) {
  gcry_sexp_t p = nullptr, d = nullptr, s = nullptr;
  gcry_error_t err = 0;
  if (key.kind == KeyKind::kEd25519) {
    err = gcry_sexp_build(&p, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                          static_cast<int>(key.point.size()), key.point.data());
    if (err == 0) {
      err = gcry_sexp_build(&d, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                            static_cast<int>(signed_data.size()), signed_data.data());
    }
    if (err == 0) {
      err = gcry_sexp_build(&s, nullptr, "(sig-val (eddsa (r %b) (s %b)))",
                            static_cast<int>(sig.first.size()), sig.first.data(),
                            static_cast<int>(sig.second.size()), sig.second.data());
    }
  } else {
    const std::vector<uint8_t> digest = Digest(sig.digest, signed_data);
    if (key.kind == KeyKind::kRsa) {
      const Mpi n = Number(key.rsa_n), e = Number(key.rsa_e), value = Number(sig.first);
      if (!n || !e || !value) return gcry_error(GPG_ERR_INV_VALUE);
      err = gcry_sexp_build(&p, nullptr, "(public-key (rsa (n %m) (e %m)))", n.get(), e.get());
      if (err == 0) {
        err =
            gcry_sexp_build(&d, nullptr, "(data (flags pkcs1) (hash %s %b))",
                            DigestName(sig.digest), static_cast<int>(digest.size()), digest.data());
      }
      if (err == 0) err = gcry_sexp_build(&s, nullptr, "(sig-val (rsa (s %m)))", value.get());
    } else {
      const Mpi r = Number(sig.first), ss = Number(sig.second);
      if (!r || !ss) return gcry_error(GPG_ERR_INV_VALUE);
      err = gcry_sexp_build(&p, nullptr, "(public-key (ecc (curve %s) (q %b)))", CurveOf(key.kind),
                            static_cast<int>(key.point.size()), key.point.data());
      // The digest is never longer than the curve's order here (SHA-256 for
      // P-256, SHA-384 for P-384, SHA-512 for P-521), so as a number it needs
      // no cutting.
      if (err == 0) {
        err = gcry_sexp_build(&d, nullptr, "(data (flags raw) (value %b))",
                              static_cast<int>(digest.size()), digest.data());
      }
      if (err == 0) {
        err = gcry_sexp_build(&s, nullptr, "(sig-val (ecdsa (r %m) (s %m)))", r.get(), ss.get());
      }
    }
  }
  pkey->reset(p);
  data->reset(d);
  sigval->reset(s);
  return err;
}

}  // namespace

bool CryptoReady() {
  static const bool ready = [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P) == 0) {
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    return true;
  }();
  return ready;
}

std::vector<uint8_t> Digest(DigestKind kind, std::span<const uint8_t> data) {
  if (!CryptoReady()) return {};
  const int algorithm = DigestAlgorithm(kind);
  std::vector<uint8_t> out(gcry_md_get_algo_dlen(algorithm));
  gcry_md_hash_buffer(algorithm, out.data(), data.data(), data.size());
  return out;
}

SignatureCheck CheckKeySignature(const SshPublicKey& key, const KeySignature& signature,
                                 std::span<const uint8_t> signed_data) {
  if (!CryptoReady()) {
    SignatureCheck c;
    c.detail = std::string("libgcrypt is older than ") + GCRYPT_VERSION;
    return c;
  }
  Sexp pkey, data, sigval;
  if (const gcry_error_t err = Build(key, signature, signed_data, &pkey, &data, &sigval)) {
    return Error("the key or signature cannot be expressed", err);
  }
  const gcry_error_t err = gcry_pk_verify(sigval.get(), data.get(), pkey.get());
  SignatureCheck c;
  if (err == 0) {
    c.result = SignatureCheck::Result::kValid;
  } else if (gcry_err_code(err) == GPG_ERR_BAD_SIGNATURE) {
    c.result = SignatureCheck::Result::kInvalid;
  } else {
    return Error("the key or signature was refused", err);
  }
  return c;
}

}  // namespace tl::ctl::sign
