// Allowed-signers texts of any bytes: the lines read and the lines refused are
// numbered in order, never both, never past the text's last line, each signer
// is one that can be used (bounds in order, a key read or refused by type);
// and the search for each signer's own key ends with a principal or a reason.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sign/allowed_signers.h"
#include "sign/signer_search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tl::ctl::sign;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const AllowedSigners read = ParseAllowedSigners(text);
  const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) +
                       (text.empty() || text.back() == '\n' ? 0 : 1);
  size_t last = 0;
  for (const SignerLine& s : read.signers) {
    if (s.number <= last || s.number > lines) std::abort();
    last = s.number;
    if (s.key.status == KeyStatus::kMalformed) std::abort();
    if (s.valid_after != 0 && s.valid_before != 0 && s.valid_before <= s.valid_after) std::abort();
    for (const LineProblem& p : read.problems) {
      if (p.number == s.number) std::abort();
    }
  }
  last = 0;
  for (const LineProblem& p : read.problems) {
    if (p.number <= last || p.number > lines || p.problem.empty()) std::abort();
    last = p.number;
  }
  for (const SignerLine& s : read.signers) {
    if (s.key.status != KeyStatus::kOk) continue;
    const SignerSearch found = FindSigner(read, s.key.key, "trustlist", 1781524800);
    if (found.found == found.principal.empty() || found.found != found.reason.empty()) {
      std::abort();
    }
  }
  return 0;
}
