// Building SSH wire-format bytes and texts for the tests of the signature
// parsers, so that each case says which field it changes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tl::test {

using Bytes = std::vector<uint8_t>;

Bytes U32(uint32_t v);
Bytes Str(const Bytes& b);
Bytes Str(std::string_view s);
Bytes Cat(std::initializer_list<Bytes> parts);

std::string Base64Of(const Bytes& b);
// An Ed25519 public key blob whose 32 key bytes are all `fill`.
Bytes Ed25519Blob(uint8_t fill);
// The same key as an allowed-signers key text: "ssh-ed25519 AAAA...".
std::string Ed25519KeyText(uint8_t fill);
// The armoured form `ssh-keygen -Y sign` writes, 70 columns wide.
std::string Armour(const Bytes& blob);
// An SSHSIG blob by the Ed25519 key `fill` (its signature bytes are zero).
Bytes SshSigBlob(uint8_t fill, std::string_view name_space = "trustlist", uint32_t version = 1,
                 std::string_view hash = "sha512");

}  // namespace tl::test
