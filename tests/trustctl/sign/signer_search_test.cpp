// The search for the allowed signer, as find-principals and then verify -I
// make it: each case is an allowed-signers text, the key 1 signing in
// "trustlist" at 2026-06-15 12:00:00 UTC, and the principal found or a part of
// the reason. The table of ssh-keygen's own verdicts (signature_case_table_test)
// holds the same rules against ssh-keygen; these cases pin the choices between
// lines that a table of single files shows less directly.
#include "sign/signer_search.h"

#include <gtest/gtest.h>

#include <string>

#include "sign/ssh_time.h"
#include "sign_test_util.h"

namespace tl::ctl::sign {
namespace {

TEST(SignerSearch, FindsThePrincipalSshKeygenWould) {
  const std::string k1 = test::Ed25519KeyText(1);
  const std::string k2 = test::Ed25519KeyText(2);
  const int64_t now = *ParseSshTime("20260615120000Z");
  struct Case {
    const char* name;
    std::string signers;
    bool found;
    std::string principal_or_reason;
  };
  const Case cases[] = {
      {"plain", "alice " + k1, true, "alice"},
      {"other key only", "alice " + k2, false, "no line of the allowed signers holds"},
      {"other key and unreadable lines", "alice " + k2 + "\nbroken\nbad too\n", false,
       "(line 2 could not be read: missing key; and 1 more)"},
      {"second line holds it", "bob " + k2 + "\nalice " + k1, true, "alice"},
      {"first of several principals", "a,b " + k1, true, "a"},
      {"pattern principal as written", "*.example.com " + k1, true, "*.example.com"},
      {"empty first principal", ",alice " + k1, false,
       "line 1: it holds the signing key, but its principals \",alice\""},
      {"empty principal after the first", "alice,,bob " + k1, true, "alice"},
      {"namespace pattern", "alice namespaces=\"t*\" " + k1, true, "alice"},
      {"namespace refused", "alice namespaces=\"git\" " + k1, false,
       "line 1: the key's namespaces do not include \"trustlist\""},
      {"namespace negated", "alice namespaces=\"*,!trustlist\" " + k1, false, "namespaces"},
      // find-principals names alice (line 1 is valid now); verify -I alice
      // tries the lines of alice only, and line 2 is bob's.
      {"first line's principal only", "alice namespaces=\"git\" " + k1 + "\nbob " + k1, false,
       "line 1: the key's namespaces"},
      {"a later line of the same principal", "alice namespaces=\"git\" " + k1 + "\nalice " + k1,
       true, "alice"},
      {"a later line matching by pattern", "alice namespaces=\"git\" " + k1 + "\nal* " + k1, true,
       "alice"},
      // A line invalid now names no principal: bob's line does.
      {"expired first line", "alice valid-before=\"20200101Z\" " + k1 + "\nbob " + k1, true, "bob"},
      {"expired", "alice valid-before=\"20260615115959Z\" " + k1, false,
       "line 1: the signer's key is not valid after 2026-06-15 11:59:59 UTC"},
      {"valid-before is inclusive", "alice valid-before=\"20260615120000Z\" " + k1, true, "alice"},
      {"valid-after is inclusive", "alice valid-after=\"20260615120000Z\" " + k1, true, "alice"},
      {"not yet valid", "alice valid-after=\"20260615120001Z\" " + k1, false,
       "not valid before 2026-06-15 12:00:01 UTC"},
      {"namespace reported before time", "alice namespaces=\"git\",valid-after=\"20990101Z\" " + k1,
       false, "namespaces do not include"},
      {"certificate authority", "alice cert-authority " + k1, false,
       "line 1: the key is a certificate authority there"},
      {"certificate authority and plain line", "alice cert-authority " + k1 + "\nbob " + k1, true,
       "bob"},
  };
  const SshPublicKey key = ParseSshPublicKey(test::Ed25519Blob(1)).key;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SignerSearch s = FindSigner(ParseAllowedSigners(c.signers), key, "trustlist", now);
    EXPECT_EQ(s.found, c.found) << s.reason;
    if (c.found) {
      EXPECT_EQ(s.principal, c.principal_or_reason);
    } else {
      EXPECT_NE(s.reason.find(c.principal_or_reason), std::string::npos) << s.reason;
    }
  }
}

}  // namespace
}  // namespace tl::ctl::sign
