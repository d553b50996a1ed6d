// libgcrypt as the verifier starts and uses it: initialised once, without
// secure memory; digests and an Ed25519 check against published vectors
// (FIPS 180-2, RFC 8032), so the library's own answers are pinned apart from
// ssh-keygen's table.
#include "sign/verify.h"

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tl::ctl::sign {
namespace {

std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

TEST(Crypto, StartsOnceWithoutSecureMemory) {
  ASSERT_TRUE(CryptoReady());
  EXPECT_TRUE(CryptoReady());
  EXPECT_NE(gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P), 0);
  void* p = gcry_malloc_secure(64);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(gcry_is_secure(p), 0);
  gcry_free(p);
}

TEST(Crypto, DigestsAreTheStandardOnes) {
  const std::string abc = "abc";
  const std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(abc.data()), abc.size());
  EXPECT_EQ(Digest(DigestKind::kSha256, data),
            Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(Digest(DigestKind::kSha384, data),
            Hex("cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
                "8086072ba1e7cc2358baeca134c825a7"));
  EXPECT_EQ(Digest(DigestKind::kSha512, data),
            Hex("ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"));
}

TEST(Crypto, ChecksEd25519AsRfc8032Says) {
  SshPublicKey key;
  key.kind = KeyKind::kEd25519;
  key.point = Hex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
  const std::vector<uint8_t> sig =
      Hex("92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
          "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00");
  KeySignature s;
  s.first.assign(sig.begin(), sig.begin() + 32);
  s.second.assign(sig.begin() + 32, sig.end());
  const std::vector<uint8_t> message = {0x72};
  EXPECT_EQ(CheckKeySignature(key, s, message).result, SignatureCheck::Result::kValid);
  const std::vector<uint8_t> other = {0x73};
  EXPECT_EQ(CheckKeySignature(key, s, other).result, SignatureCheck::Result::kInvalid);
  s.second[0] ^= 1;
  EXPECT_EQ(CheckKeySignature(key, s, message).result, SignatureCheck::Result::kInvalid);
}

}  // namespace
}  // namespace tl::ctl::sign
