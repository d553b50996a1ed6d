// The table of list-signature cases that ssh-keygen makes at test time
// (make_signature_cases.py): every case's verdict, ours and ssh-keygen's on the
// same files, is the one the case expects, so the two agree on all of them.
//
// Natively the test runs the script itself, into a folder of its own. A
// Windows build cannot run ssh-keygen: its ctest fixture runs the script on
// the build machine and names the folder in TL_SIGNATURE_CASES, so that the
// Windows build of the verifier meets the same table. Without ssh-keygen the
// test is skipped on a developer's machine and fails in CI (CI=true), which
// installs it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "sign/list_signature.h"
#include "support/temp_dir.h"

namespace tl::ctl::sign {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& p) {
  const std::vector<uint8_t> bytes = test::ReadAll(p);
  return {bytes.begin(), bytes.end()};
}

// A path the table names (ASCII, '/'-separated) inside the folder.
fs::path In(const fs::path& folder, const nlohmann::json& rel) {
  return folder / fs::path(rel.get<std::string>());
}

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

TEST(SignatureCaseTable, OursAndSshKeygensVerdictsAreTheCasesOwn) {
  std::unique_ptr<test::TempDir> made;
  fs::path folder;
  if (const char* named = std::getenv("TL_SIGNATURE_CASES"); named != nullptr && *named != 0) {
    folder = fs::path(named);
  } else {
    const std::string script = TL_SIGNATURE_CASE_SCRIPT;
    ASSERT_FALSE(script.empty()) << "TL_SIGNATURE_CASES names no folder, and this build cannot "
                                    "make the cases (its ctest fixture makes them)";
    made = std::make_unique<test::TempDir>();
    folder = made->path();
    const std::string command =
        std::string("'") + TL_PYTHON3 + "' '" + script + "' '" + folder.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  const nlohmann::json manifest = nlohmann::json::parse(ReadText(folder / "cases.json"));
  if (manifest.contains("unavailable")) {
    const std::string why = manifest["unavailable"];
    if (InCi()) FAIL() << why << " (CI installs it: scripts/setup)";
    GTEST_SKIP() << why;
  }
  const int64_t now = manifest["now"];
  std::set<std::string> names;
  for (const nlohmann::json& c : manifest["cases"]) {
    const std::string name = c["name"];
    names.insert(name);
    SCOPED_TRACE(name);
    const std::string data = ReadText(In(folder, c["data"]));
    const std::string signature = ReadText(In(folder, c["signature"]));
    const std::string signers = ReadText(In(folder, c["allowed_signers"]));
    const SignatureVerdict v = VerifyListSignature(reinterpret_cast<const uint8_t*>(data.data()),
                                                   data.size(), signature, signers, now);
    const bool expect_ok = c["expect"] == "ok";
    EXPECT_EQ(c["ssh_keygen"]["ok"], expect_ok) << "ssh-keygen's verdict";
    EXPECT_EQ(v.ok, expect_ok) << v.reason;
    if (expect_ok) {
      EXPECT_EQ(v.principal, c["principal"]);
      EXPECT_EQ(c["ssh_keygen"]["principal"], c["principal"]);
    } else {
      const std::string part = c["reason"];
      EXPECT_NE(v.reason.find(part), std::string::npos) << v.reason;
    }
  }
  // The table holds what it is for: a good signature by each kind of key,
  // with each hash algorithm, and a refused one of each.
  for (const char* key : {"ed25519", "ecdsa256", "ecdsa384", "ecdsa521", "rsa"}) {
    EXPECT_EQ(names.count(std::string("good_") + key + "_sha256"), 1u) << key;
    EXPECT_EQ(names.count(std::string("good_") + key + "_sha512"), 1u) << key;
    EXPECT_EQ(names.count(std::string("tampered_") + key), 1u) << key;
  }
  EXPECT_GE(names.size(), 70u);
}

}  // namespace
}  // namespace tl::ctl::sign
