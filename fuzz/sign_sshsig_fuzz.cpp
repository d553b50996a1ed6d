// SSH signature texts of any bytes, through the parser and the whole verifier
// (a fixed list and allowed signers): every input gets a verdict, with a
// reason exactly when it is a refusal, and a parsed signature is one the
// verifier can take apart further without reading out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sign/key_signature.h"
#include "sign/list_signature.h"
#include "sign/sshsig.h"

namespace {

constexpr std::string_view kList = "{\"name\":\"tool.exe\"}\n";
// The keys that signed the seeds (fuzz/corpus/sign_sshsig/good_*), so that
// mutations of a good signature reach the cryptography and the search.
constexpr std::string_view kSigners =
    "owner@example.com ssh-ed25519 "
    "AAAAC3NzaC1lZDI1NTE5AAAAIMfN7JhdLmo2AYLJIBzUwUAMNtREIPWuq9kr0pj/JQRX\n"
    "* namespaces=\"trustlist\" ecdsa-sha2-nistp256 "
    "AAAAE2VjZHNhLXNoYTItbmlzdHAyNTYAAAAIbmlzdHAyNTYAAABBBNTCFJ5V9FE/0HfOFXgIf2j/oNrH6eVdeJWq"
    "LlSSVzaZlejZAl3LEjK5hcU9stZSMXuJAsSn/Oin1bZJubLHmxI=\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const tl::ctl::sign::SshSignatureParse parsed = tl::ctl::sign::ParseSshSignature(text);
  if ((parsed.status == tl::ctl::sign::SshSignatureParse::Status::kOk) != parsed.problem.empty()) {
    std::abort();
  }
  if (parsed.status == tl::ctl::sign::SshSignatureParse::Status::kOk) {
    const auto inner =
        tl::ctl::sign::ParseKeySignature(parsed.signature.key, parsed.signature.key_signature);
    if (inner.ok != inner.problem.empty()) std::abort();
  }
  const tl::ctl::sign::SignatureVerdict v = tl::ctl::sign::VerifyListSignature(
      reinterpret_cast<const uint8_t*>(kList.data()), kList.size(), text, kSigners, 1781524800);
  if (v.ok != v.reason.empty() || v.ok == v.principal.empty()) std::abort();
  return 0;
}
