// Reading SSH signatures and the keys and key signatures inside them, for the
// forms ssh-keygen does not write and so the case table cannot show: each
// case builds its blob field by field.
#include "sign/sshsig.h"

#include <gtest/gtest.h>

#include <span>
#include <string>

#include "sign/key_signature.h"
#include "sign/ssh_key.h"
#include "sign/ssh_wire.h"
#include "sign_test_util.h"

namespace tl::ctl::sign {
namespace {

using test::Bytes;
using test::Cat;
using test::Str;
using Status = SshSignatureParse::Status;

const Bytes kMagic = {'S', 'S', 'H', 'S', 'I', 'G'};

TEST(WireReader, NeverReadsPastItsBytesAndStaysFailed) {
  const Bytes bytes = Cat({Str("ab"), test::U32(0xFFFFFFFF), Bytes{1, 2, 3, 4}});
  WireReader r(bytes);
  std::span<const uint8_t> s;
  ASSERT_TRUE(r.String(&s));
  EXPECT_EQ(Bytes(s.begin(), s.end()), (Bytes{'a', 'b'}));
  EXPECT_FALSE(r.String(&s));  // claims 4 GiB
  uint32_t v = 0;
  EXPECT_FALSE(r.U32(&v));  // four bytes are left, but the reader has failed
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.AtEnd());
  std::string text;
  const Bytes with_nul = Str(std::string("a\0b", 3));
  EXPECT_FALSE(WireReader(with_nul).Text(&text));
}

TEST(SshSignatureText, ReadsTheArmourAndBlob) {
  const std::string good = test::Armour(test::SshSigBlob(5));
  struct Case {
    const char* name;
    std::string text;
    Status status;
    std::string problem;
  };
  std::string nul_last = good;
  nul_last.insert(nul_last.find("\n-----END"), 1, '\0');
  std::string nul_inside = good;
  nul_inside.insert(40, 1, '\0');
  const Case cases[] = {
      {"as written", good, Status::kOk, ""},
      {"NUL as the base64's last byte", nul_last, Status::kOk, ""},
      {"NUL inside the base64", nul_inside, Status::kMalformed, "base64"},
      {"version 0", test::Armour(test::SshSigBlob(5, "trustlist", 0)), Status::kOk, ""},
      {"version 2", test::Armour(test::SshSigBlob(5, "trustlist", 2)), Status::kMalformed,
       "version 2"},
      {"namespace with a NUL", test::Armour(test::SshSigBlob(5, std::string("trust\0list", 10))),
       Status::kMalformed, "holds a NUL byte"},
      {"no magic", test::Armour(Bytes{'S', 'S', 'H'}), Status::kMalformed, "SSHSIG blob"},
      {"cut in the version", test::Armour(Cat({kMagic, Bytes{0, 0}})), Status::kMalformed,
       "cut short"},
      {"empty body", "-----BEGIN SSH SIGNATURE-----\n\n-----END SSH SIGNATURE-----\n",
       Status::kMalformed, "SSHSIG blob"},
      {"footer right after the header",
       "-----BEGIN SSH SIGNATURE-----\n-----END SSH SIGNATURE-----\n", Status::kMalformed,
       "no line \"-----END"},
      {"DSA key",
       test::Armour(Cat({kMagic, test::U32(1), Str(Cat({Str("ssh-dss"), Str("p")})),
                         Str("trustlist"), Str(""), Str("sha512"), Str("")})),
       Status::kUnsupported, "DSA keys (ssh-dss) are not supported"},
      {"certificate",
       test::Armour(Cat({kMagic, test::U32(1), Str(Str("ssh-ed25519-cert-v01@openssh.com")),
                         Str("trustlist"), Str(""), Str("sha512"), Str("")})),
       Status::kUnsupported, "certificates"},
      {"unknown key type",
       test::Armour(Cat({kMagic, test::U32(1), Str(Str("ssh-foo")), Str("trustlist"), Str(""),
                         Str("sha512"), Str("")})),
       Status::kMalformed, "the signing key: unknown key type \"ssh-foo\""},
      {"blank", " \r\n", Status::kEmpty, "empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SshSignatureParse p = ParseSshSignature(c.text);
    EXPECT_EQ(p.status, c.status) << p.problem;
    EXPECT_NE(p.problem.find(c.problem), std::string::npos) << p.problem;
    if (p.status == Status::kOk) {
      EXPECT_EQ(p.signature.name_space, "trustlist");
      EXPECT_EQ(p.signature.hash_algorithm, "sha512");
      EXPECT_EQ(p.signature.key.point, Bytes(32, 5));
    }
  }
}

TEST(SshKeyBlob, ReadsSupportedKeysAndRefusesTheRest) {
  auto ec = [](const char* type, const char* curve, size_t point, uint8_t first) {
    Bytes p(point, 1);
    p[0] = first;
    return Cat({Str(type), Str(curve), Str(p)});
  };
  auto rsa = [](size_t modulus_bytes, uint8_t top) {
    Bytes n(modulus_bytes, 0x55);
    n[0] = top;
    return Cat({Str("ssh-rsa"), Str(Bytes{1, 0, 1}), Str(n)});
  };
  struct Case {
    const char* name;
    Bytes blob;
    KeyStatus status;
  };
  const Case cases[] = {
      {"Ed25519", test::Ed25519Blob(1), KeyStatus::kOk},
      {"Ed25519 short name", Cat({Str("eD25519"), Str(Bytes(32, 1))}), KeyStatus::kOk},
      {"Ed25519 of 31 bytes", Cat({Str("ssh-ed25519"), Str(Bytes(31, 1))}), KeyStatus::kMalformed},
      {"Ed25519 with bytes after", Cat({test::Ed25519Blob(1), Bytes{0}}), KeyStatus::kMalformed},
      {"P-256", ec("ecdsa-sha2-nistp256", "nistp256", 65, 4), KeyStatus::kOk},
      {"P-384", ec("ecdsa-sha2-nistp384", "nistp384", 97, 4), KeyStatus::kOk},
      {"P-521", ec("ecdsa-sha2-nistp521", "nistp521", 133, 4), KeyStatus::kOk},
      {"P-256 on another curve", ec("ecdsa-sha2-nistp256", "nistp384", 65, 4),
       KeyStatus::kMalformed},
      {"P-256 compressed", ec("ecdsa-sha2-nistp256", "nistp256", 33, 2), KeyStatus::kMalformed},
      {"P-256 point too long", ec("ecdsa-sha2-nistp256", "nistp256", 66, 4), KeyStatus::kMalformed},
      {"ECDSA short name", ec("ECDSA", "nistp256", 65, 4), KeyStatus::kMalformed},
      {"RSA 1024", rsa(128, 0x80 >> 1 | 0x80), KeyStatus::kMalformed},      // negative: top bit set
      {"RSA 1024 with its sign byte", rsa(129, 0), KeyStatus::kMalformed},  // 1023 bits
      {"RSA 1024 bits",
       Cat({Str("ssh-rsa"), Str(Bytes{3}), Str(Cat({Bytes{0}, Bytes(128, 0xff)}))}),
       KeyStatus::kOk},
      {"RSA 1016 bits", rsa(127, 0x7f), KeyStatus::kMalformed},
      {"RSA 16384 bits", Cat({Str("rsa"), Str(Bytes{3}), Str(Cat({Bytes{0}, Bytes(2048, 0xff)}))}),
       KeyStatus::kOk},
      {"RSA 16385 bits", Cat({Str("ssh-rsa"), Str(Bytes{3}), Str(Cat({Bytes{1}, Bytes(2048, 0)}))}),
       KeyStatus::kMalformed},
      {"RSA named as its signature",
       Cat({Str("rsa-sha2-256"), Str(Bytes{3}), Str(Cat({Bytes{0}, Bytes(128, 0xff)}))}),
       KeyStatus::kOk},
      {"security key", Cat({Str("sk-ecdsa-sha2-nistp256@openssh.com"), Str("x")}),
       KeyStatus::kUnsupported},
      {"XMSS", Cat({Str("ssh-xmss@openssh.com"), Str("x")}), KeyStatus::kUnsupported},
      {"no name", Bytes{0, 0, 0}, KeyStatus::kMalformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseSshPublicKey(c.blob).status, c.status) << ParseSshPublicKey(c.blob).problem;
  }
  // Leading zeros of an RSA number are no part of the key.
  const Bytes n = Cat({Bytes{0}, Bytes(128, 0xff)});
  const KeyParse a = ParseSshPublicKey(Cat({Str("ssh-rsa"), Str(Bytes{1, 0, 1}), Str(n)}));
  const KeyParse b = ParseSshPublicKey(Cat({Str("ssh-rsa"), Str(Bytes{0, 0, 1, 0, 1}), Str(n)}));
  ASSERT_EQ(a.status, KeyStatus::kOk);
  EXPECT_EQ(a.key, b.key);
}

TEST(KeySignatureBlob, MustSuitItsKey) {
  const SshPublicKey ed = ParseSshPublicKey(test::Ed25519Blob(1)).key;
  Bytes p256(65, 1);
  p256[0] = 4;
  const SshPublicKey ec =
      ParseSshPublicKey(Cat({Str("ecdsa-sha2-nistp256"), Str("nistp256"), Str(p256)})).key;
  const SshPublicKey rsa = ParseSshPublicKey(Cat({Str("ssh-rsa"), Str(Bytes{3}),
                                                  Str(Cat({Bytes{0}, Bytes(128, 0xff)}))}))
                               .key;
  const Bytes rs = Cat({Str(Bytes{1}), Str(Bytes{0, 0x80})});
  struct Case {
    const char* name;
    const SshPublicKey* key;
    Bytes blob;
    std::string problem;  // empty: read
  };
  const Case cases[] = {
      {"Ed25519", &ed, Cat({Str("ssh-ed25519"), Str(Bytes(64, 1))}), ""},
      {"Ed25519 of 63 bytes", &ed, Cat({Str("ssh-ed25519"), Str(Bytes(63, 1))}), "not 64 bytes"},
      {"Ed25519 named otherwise", &ed, Cat({Str("ssh-ed448"), Str(Bytes(64, 1))}), "named"},
      {"bytes after", &ed, Cat({Str("ssh-ed25519"), Str(Bytes(64, 1)), Bytes{0}}), "bytes follow"},
      {"ECDSA", &ec, Cat({Str("ecdsa-sha2-nistp256"), Str(rs)}), ""},
      {"ECDSA of another curve", &ec, Cat({Str("ecdsa-sha2-nistp384"), Str(rs)}), "named"},
      {"ECDSA with bytes after s", &ec, Cat({Str("ecdsa-sha2-nistp256"), Str(Cat({rs, Bytes{0}}))}),
       "two numbers"},
      {"ECDSA negative s", &ec,
       Cat({Str("ecdsa-sha2-nistp256"), Str(Cat({Str(Bytes{1}), Str(Bytes{0x80})}))}),
       "two numbers"},
      {"RSA SHA-512", &rsa, Cat({Str("rsa-sha2-512"), Str(Bytes(128, 1))}), ""},
      {"RSA SHA-256, short", &rsa, Cat({Str("rsa-sha2-256"), Str(Bytes(100, 1))}), ""},
      {"RSA SHA-1", &rsa, Cat({Str("ssh-rsa"), Str(Bytes(128, 1))}), "SHA-1 (ssh-rsa) are refused"},
      {"RSA longer than the modulus", &rsa, Cat({Str("rsa-sha2-512"), Str(Bytes(129, 0))}),
       "longer than the key's modulus"},
      {"RSA other algorithm", &rsa, Cat({Str("rsa-sha2-384"), Str(Bytes(128, 1))}),
       "is not rsa-sha2-256 or rsa-sha2-512"},
      {"cut short", &rsa, Str("rsa-sha2-512"), "cut short"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const KeySignatureParse p = ParseKeySignature(*c.key, c.blob);
    EXPECT_EQ(p.ok, c.problem.empty()) << p.problem;
    if (!c.problem.empty()) {
      EXPECT_NE(p.problem.find(c.problem), std::string::npos) << p.problem;
    }
  }
  // A short RSA signature is padded to the modulus' length.
  const KeySignatureParse short_rsa =
      ParseKeySignature(rsa, Cat({Str("rsa-sha2-256"), Str(Bytes(100, 1))}));
  ASSERT_EQ(short_rsa.signature.first.size(), 128u);
  EXPECT_EQ(short_rsa.signature.first[27], 0);
  EXPECT_EQ(short_rsa.signature.first[28], 1);
  EXPECT_EQ(short_rsa.signature.digest, DigestKind::kSha256);
}

}  // namespace
}  // namespace tl::ctl::sign
