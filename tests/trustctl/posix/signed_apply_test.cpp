// apply --allowed-signers applies a list only when its owner signed it: keys
// and signatures made by ssh-keygen here, each refusal leaving the container
// byte for byte as it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "ctl_test_util.h"
#include "trustctl.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;

int Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string Text(const std::string& path) {
  const std::vector<uint8_t> b = FileBytes(path);
  return std::string(b.begin(), b.end());
}

TEST(CtlSignedApply, OnlyTheOwnersListIsApplied) {
  if (Sh("command -v ssh-keygen") != 0) {
    if (std::getenv("CI") != nullptr) FAIL() << "ssh-keygen is missing (scripts/setup installs it)";
    GTEST_SKIP() << "ssh-keygen is missing";
  }
  TempDir dir;
  const std::string d = dir.path().string();
  ASSERT_EQ(Sh("ssh-keygen -q -t ed25519 -N '' -C owner -f " + d + "/owner"), 0);
  ASSERT_EQ(Sh("ssh-keygen -q -t ed25519 -N '' -C other -f " + d + "/other"), 0);
  const std::string allowed =
      WriteText(dir, "allowed_signers",
                "admin@example.org namespaces=\"trustlist\" " + Text(d + "/owner.pub"));
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"import", box, WriteText(dir, "h.txt", "1 1\n")}).rc, ctl::kExitOk);
  const std::string src = Arg(dir, "src.mnf");
  ASSERT_EQ(Ctl({"import", src, WriteText(dir, "s.txt", "2 2\n3 3\n")}).rc, ctl::kExitOk);
  const std::string list = WriteText(dir, "programs.jsonl", Ctl({"export", src}).out);
  const auto sign = [&](const std::string& key, const std::string& file, const char* ns) {
    return Sh("ssh-keygen -Y sign -n " + std::string(ns) + " -f " + d + "/" + key + " " + file);
  };
  ASSERT_EQ(sign("owner", list, "trustlist"), 0);  // programs.jsonl.sig
  // Other signatures of the same list, each wrong in one way.
  const std::string by_other = Arg(dir, "by_other.jsonl");
  fs::copy_file(list, by_other);
  ASSERT_EQ(sign("other", by_other, "trustlist"), 0);
  const std::string wrong_ns = Arg(dir, "wrong_ns.jsonl");
  fs::copy_file(list, wrong_ns);
  ASSERT_EQ(sign("owner", wrong_ns, "git"), 0);
  const std::string another = WriteText(dir, "another.jsonl", Ctl({"export", box}).out);
  ASSERT_EQ(sign("owner", another, "trustlist"), 0);
  const std::string tampered = Arg(dir, "tampered.jsonl");
  fs::copy_file(list, tampered);
  fs::copy_file(list + ".sig", tampered + ".sig");
  std::ofstream(tampered, std::ios::app) << "\n";  // one byte more
  struct Row {
    const char* what;
    std::vector<std::string> args;  // after "apply --allowed-signers ALLOWED"
    int rc;
    const char* says;  // in the error stream
  };
  const Row rows[] = {
      {"the owner's signature of another list",
       {"--signature", another + ".sig", box, list},
       2,
       "not valid for this list"},
      {"a key the file does not hold", {box, by_other}, 2, "no line of the allowed signers"},
      {"another namespace", {box, wrong_ns}, 2, "namespace"},
      {"a changed list", {box, tampered}, 2, "not valid for this list"},
      {"no signature", {"--signature", Arg(dir, "none.sig"), box, list}, 2, "none.sig"},
      {"standard input without --signature", {box, "-"}, 3, "needs --signature"},
  };
  const std::vector<uint8_t> before = FileBytes(box);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    std::vector<std::string> args = {"apply", "--allowed-signers", allowed};
    args.insert(args.end(), r.args.begin(), r.args.end());
    const CtlResult c = Ctl(args);
    EXPECT_EQ(c.rc, r.rc) << c.out;
    EXPECT_NE(c.err.find(r.says), std::string::npos) << c.err;
    EXPECT_EQ(FileBytes(box), before);
  }
  // A signature nobody checks is refused as a wrong command line.
  EXPECT_EQ(Ctl({"apply", "--signature", list + ".sig", box, list}).rc, ctl::kExitUsage);
  EXPECT_EQ(FileBytes(box), before);
  // The owner's list: checked, then applied; --check and --json say who signed.
  const CtlResult check =
      Ctl({"apply", "--check", "--json", "--allowed-signers", allowed, box, list});
  EXPECT_EQ(check.rc, ctl::kExitFindings) << check.err;
  const nlohmann::json j = nlohmann::json::parse(check.out, nullptr, false);
  EXPECT_EQ(j.value("signed_by", ""), "admin@example.org") << check.out;
  const CtlResult json_refused =
      Ctl({"apply", "--json", "--allowed-signers", allowed, box, tampered});
  EXPECT_EQ(nlohmann::json::parse(json_refused.out, nullptr, false).value("error", ""), "signature")
      << json_refused.out;
  const CtlResult applied = Ctl({"apply", "--allowed-signers", allowed, box, list});
  EXPECT_EQ(applied.rc, ctl::kExitOk) << applied.err;
  EXPECT_EQ(applied.out.rfind("signed by admin@example.org\n", 0), 0u) << applied.out;
  EXPECT_EQ(Ctl({"diff", box, src}).rc, ctl::kExitOk);
}

}  // namespace
}  // namespace tl::test
