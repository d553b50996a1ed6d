// Reading allowed-signers lines: each line of the table is read alone and
// gives either a signer with the fields shown or a problem (a part of its
// text); the reading of a whole text keeps line numbers and reads on past a
// line that cannot be read.
#include "sign/allowed_signers.h"

#include <gtest/gtest.h>

#include <string>

#include "sign/ssh_time.h"
#include "sign_test_util.h"

namespace tl::ctl::sign {
namespace {

using test::Ed25519KeyText;

struct Want {
  Want(std::string p, bool ca = false, std::optional<std::string> ns = std::nullopt,
       int64_t after = 0, int64_t before = 0)
      : principals(std::move(p)),
        cert_authority(ca),
        namespaces(std::move(ns)),
        valid_after(after),
        valid_before(before) {}
  std::string principals;
  bool cert_authority;
  std::optional<std::string> namespaces;
  int64_t valid_after;
  int64_t valid_before;
};

TEST(AllowedSigners, ReadsEachLineAsSshKeygenDoes) {
  const std::string key = Ed25519KeyText(7);
  struct Case {
    std::string line;
    std::optional<Want> signer;  // nullopt: a problem
    std::string problem;         // a part of it
  };
  const int64_t t2020 = *ParseSshTime("20200101Z");
  const int64_t t2030 = *ParseSshTime("20300101Z");
  const Case cases[] = {
      {"alice " + key + "\n", Want{"alice"}, ""},
      {"  alice\t" + key + " a comment\n", Want{"alice"}, ""},
      {"alice,*@example.com " + key, Want{"alice,*@example.com"}, ""},
      {"\"Alice Smith\" " + key + "\r\n", Want{"Alice Smith"}, ""},
      // The field ends at the closing quote: "ith" is read as an option.
      {"al\"ice sm\"ith " + key + "\n", std::nullopt, "unknown key option"},
      {"alice namespaces=\"trustlist,git\" " + key, Want{"alice", false, "trustlist,git"}, ""},
      {"alice Namespaces=\"a b\" " + key, Want{"alice", false, "a b"}, ""},
      {"alice namespaces=\"x\\\"y\" " + key, Want{"alice", false, "x\"y"}, ""},
      {"alice cert-authority " + key, Want{"alice", true}, ""},
      {"alice CERT-AUTHORITY,cert-authority " + key, Want{"alice", true}, ""},
      {"alice ,cert-authority " + key, Want{"alice", true}, ""},
      {"alice valid-after=\"20200101Z\",valid-before=\"20300101Z\" " + key,
       Want{"alice", false, std::nullopt, t2020, t2030}, ""},
      {"alice valid-after=\"20300101Z\",valid-before=\"20200101Z\" " + key, std::nullopt,
       "is not after"},
      {"alice valid-after=\"20200101Z\",valid-before=\"20200101Z\" " + key, std::nullopt,
       "is not after"},
      {"alice valid-after=\"20200101Z\",valid-after=\"20210101Z\" " + key, std::nullopt,
       "multiple \"valid-after\""},
      {"alice namespaces=\"a\",namespaces=\"b\" " + key, std::nullopt, "multiple \"namespaces\""},
      {"alice valid-before=20200101 " + key, std::nullopt, "missing start quote"},
      {"alice valid-before=\"19700101Z\" " + key, std::nullopt, "invalid \"valid-before\" time"},
      {"alice namespaces=\"a " + key, std::nullopt, "quote in the options is not closed"},
      {"alice namespaces " + key, std::nullopt, "unknown key option"},
      {"alice cert-authorityx " + key, std::nullopt, "unknown key option"},
      {"alice namespaces=\"a\", " + key, std::nullopt, "unexpected end of options"},
      {"alice\n", std::nullopt, "missing key"},
      {"alice", std::nullopt, "no key follows the principals"},
      {"\"alice " + key, std::nullopt, "quote in the principals is not closed"},
      {"alice namespaces=\"a\"\n", std::nullopt, "missing key"},
      {"alice ssh-ed25519\n", std::nullopt, "missing key"},
      {"alice ssh-ed25519 AAAA!!!!\n", std::nullopt, "invalid key: the key's base64"},
      {"alice ssh-foo AAAA\n", std::nullopt, "invalid key: unknown key type \"ssh-foo\""},
      {"alice ssh-rsa " + key.substr(12) + "\n", std::nullopt,
       "invalid key: the key is not of its named type"},
      {"alice colour=\"x\" ssh-ed25519 AAAA!!!!\n", std::nullopt, "invalid key: the key's base64"},
      {"alice colour=\"x\" " + key + "\n", std::nullopt, "bad options: unknown key option"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const AllowedSigners read = ParseAllowedSigners(c.line);
    if (!c.signer) {
      ASSERT_EQ(read.problems.size(), 1u);
      EXPECT_TRUE(read.signers.empty());
      EXPECT_NE(read.problems[0].problem.find(c.problem), std::string::npos)
          << read.problems[0].problem;
      continue;
    }
    ASSERT_EQ(read.signers.size(), 1u) << (read.problems.empty() ? "" : read.problems[0].problem);
    const SignerLine& s = read.signers[0];
    EXPECT_EQ(s.principals, c.signer->principals);
    EXPECT_EQ(s.cert_authority, c.signer->cert_authority);
    EXPECT_EQ(s.namespaces, c.signer->namespaces);
    EXPECT_EQ(s.valid_after, c.signer->valid_after);
    EXPECT_EQ(s.valid_before, c.signer->valid_before);
    EXPECT_EQ(s.key.status, KeyStatus::kOk);
    EXPECT_EQ(s.key.key.point, std::vector<uint8_t>(32, 7));
  }
}

TEST(AllowedSigners, KeepsLineNumbersAndReadsOnPastProblems) {
  const std::string text = "# signers\n\n  \r\nbroken line\nalice " + Ed25519KeyText(1) +
                           "\n\t# more\nbob " + Ed25519KeyText(2) + std::string(1, '\0') +
                           " ignored\nnot a key either\ncarol " + Ed25519KeyText(3);
  const AllowedSigners read = ParseAllowedSigners(text);
  ASSERT_EQ(read.signers.size(), 3u);
  EXPECT_EQ(read.signers[0].number, 5u);
  EXPECT_EQ(read.signers[0].principals, "alice");
  EXPECT_EQ(read.signers[1].number, 7u);
  EXPECT_EQ(read.signers[2].number, 9u);
  EXPECT_EQ(read.signers[2].key.key.point, std::vector<uint8_t>(32, 3));
  ASSERT_EQ(read.problems.size(), 2u);
  EXPECT_EQ(read.problems[0].number, 4u);
  EXPECT_EQ(read.problems[1].number, 8u);
}

TEST(AllowedSigners, KeysOfUnsupportedTypesAreReadAsSuch) {
  const test::Bytes blob = test::Cat(
      {test::Str("sk-ssh-ed25519@openssh.com"), test::Str(test::Bytes(32, 1)), test::Str("ssh:")});
  const std::string text = "alice sk-ssh-ed25519@openssh.com " + test::Base64Of(blob) + "\n";
  const AllowedSigners read = ParseAllowedSigners(text);
  ASSERT_EQ(read.signers.size(), 1u);
  EXPECT_EQ(read.signers[0].key.status, KeyStatus::kUnsupported);
  EXPECT_NE(read.signers[0].key.problem.find("security keys"), std::string::npos);
}

}  // namespace
}  // namespace tl::ctl::sign
