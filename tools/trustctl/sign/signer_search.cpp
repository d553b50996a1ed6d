#include "sign/signer_search.h"

#include <optional>
#include <vector>

#include "sign/ssh_pattern.h"
#include "sign/ssh_time.h"

namespace tl::ctl::sign {
namespace {

bool HoldsKey(const SignerLine& line, const SshPublicKey& key) {
  return !line.cert_authority && line.key.status == KeyStatus::kOk && line.key.key == key;
}

std::string LinePrefix(const SignerLine& line) {
  return "allowed signers line " + std::to_string(line.number) + ": ";
}

// Why the line's validity excludes `now`; empty when it does not.
std::string TimeRefusal(const SignerLine& line, int64_t now) {
  if (line.valid_after != 0 && now < line.valid_after) {
    return "the signer's key is not valid before " + FormatUtc(line.valid_after);
  }
  if (line.valid_before != 0 && now > line.valid_before) {
    return "the signer's key is not valid after " + FormatUtc(line.valid_before);
  }
  return "";
}

std::string NamespaceRefusal(const SignerLine& line, std::string_view name_space) {
  if (line.namespaces && MatchPatternList(name_space, *line.namespaces) != ListMatch::kMatched) {
    return "the key's namespaces do not include \"" + std::string(name_space) + "\"";
  }
  return "";
}

// The principals `find-principals` prints for a line.
std::vector<std::string> PrincipalNames(const std::string& list) {
  std::vector<std::string> names;
  size_t at = 0;
  while (at <= list.size()) {
    size_t comma = list.find(',', at);
    if (comma == std::string::npos) comma = list.size();
    if (comma == at) break;  // an empty name ends the list
    names.push_back(list.substr(at, comma - at));
    at = comma + 1;
  }
  return names;
}

std::string NotFound(const AllowedSigners& signers) {
  std::string reason = "no line of the allowed signers holds the signing key";
  if (!signers.problems.empty()) {
    const LineProblem& first = signers.problems.front();
    reason += " (line " + std::to_string(first.number) + " could not be read: " + first.problem;
    if (signers.problems.size() > 1) {
      reason += "; and " + std::to_string(signers.problems.size() - 1) + " more";
    }
    reason += ")";
  }
  return reason;
}

std::string Refusal(const AllowedSigners& signers, const SshPublicKey& key,
                    std::string_view name_space, int64_t now,
                    const std::optional<size_t>& named_by) {
  for (const SignerLine& line : signers.signers) {
    if (line.cert_authority && line.key.status == KeyStatus::kOk && line.key.key == key) {
      return LinePrefix(line) +
             "the key is a certificate authority there (cert-authority), which accepts only "
             "certificates it signed, and certificates are not supported";
    }
    if (!HoldsKey(line, key)) continue;
    std::string why = NamespaceRefusal(line, name_space);
    if (why.empty()) why = TimeRefusal(line, now);
    if (!why.empty()) return LinePrefix(line) + why;
  }
  if (named_by) {
    const SignerLine& line = signers.signers[*named_by];
    return LinePrefix(line) + "it holds the signing key, but its principals \"" + line.principals +
           "\" name no line that allows the key to sign here";
  }
  return NotFound(signers);
}

}  // namespace

SignerSearch FindSigner(const AllowedSigners& signers, const SshPublicKey& key,
                        std::string_view name_space, int64_t now) {
  SignerSearch out;
  std::optional<size_t> named_by;
  for (size_t i = 0; i < signers.signers.size(); ++i) {
    const SignerLine& line = signers.signers[i];
    if (HoldsKey(line, key) && TimeRefusal(line, now).empty()) {
      named_by = i;
      break;
    }
  }
  if (named_by) {
    for (const std::string& principal : PrincipalNames(signers.signers[*named_by].principals)) {
      for (const SignerLine& line : signers.signers) {
        if (MatchPatternList(principal, line.principals) == ListMatch::kMatched &&
            HoldsKey(line, key) && NamespaceRefusal(line, name_space).empty() &&
            TimeRefusal(line, now).empty()) {
          out.found = true;
          out.principal = principal;
          return out;
        }
      }
    }
  }
  out.reason = Refusal(signers, key, name_space, now, named_by);
  return out;
}

}  // namespace tl::ctl::sign
