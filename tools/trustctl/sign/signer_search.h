// Which allowed signer lets a key sign in a namespace at a time.
//
// trustctl is given no principal, so the search is the one a user of
// ssh-keygen makes, and its answer is theirs:
//   1. `ssh-keygen -Y find-principals`: the first line that holds the key and
//      is valid at that time (its namespaces are not looked at here) names the
//      principals: its list split at commas, up to the first empty name, each
//      name taken as written (a pattern stays a pattern);
//   2. `ssh-keygen -Y verify -I P` for each of those P in turn: accepted when a
//      line whose principals match P (sign/ssh_pattern.h) holds the key,
//      allows the namespace and is valid at that time.
// A line holds the key when its key is the same and it is no cert-authority
// line. A later line that holds the key under principals of its own is not
// tried once the first line named others, as with ssh-keygen.
//
// A line is valid at `now` unless now < valid-after or now > valid-before.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sign/allowed_signers.h"

namespace tl::ctl::sign {

struct SignerSearch {
  bool found = false;
  std::string principal;  // when found: the principal P that was accepted
  // When not found, why, naming the line: the first line that holds the key
  // but does not allow this use (a cert-authority line, a namespace, a time),
  // else that no line holds the key (and the first line that could not be
  // read, when there is one).
  std::string reason;
};

SignerSearch FindSigner(const AllowedSigners& signers, const SshPublicKey& key,
                        std::string_view name_space, int64_t now);

}  // namespace tl::ctl::sign
