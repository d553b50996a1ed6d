#include "sign_test_util.h"

#include "view/entry_json.h"

namespace tl::test {

Bytes U32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Str(const Bytes& b) { return Cat({U32(static_cast<uint32_t>(b.size())), b}); }

Bytes Str(std::string_view s) { return Str(Bytes(s.begin(), s.end())); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string Base64Of(const Bytes& b) { return ctl::Base64Encode(b.data(), b.size()); }

Bytes Ed25519Blob(uint8_t fill) { return Cat({Str("ssh-ed25519"), Str(Bytes(32, fill))}); }

std::string Ed25519KeyText(uint8_t fill) { return "ssh-ed25519 " + Base64Of(Ed25519Blob(fill)); }

std::string Armour(const Bytes& blob) {
  const std::string b64 = Base64Of(blob);
  std::string out = "-----BEGIN SSH SIGNATURE-----\n";
  for (size_t at = 0; at < b64.size(); at += 70) out += b64.substr(at, 70) + "\n";
  return out + "-----END SSH SIGNATURE-----\n";
}

Bytes SshSigBlob(uint8_t fill, std::string_view name_space, uint32_t version,
                 std::string_view hash) {
  const Bytes magic = {'S', 'S', 'H', 'S', 'I', 'G'};
  return Cat({magic, U32(version), Str(Ed25519Blob(fill)), Str(name_space), Str(""), Str(hash),
              Str(Cat({Str("ssh-ed25519"), Str(Bytes(64, 0))}))});
}

}  // namespace tl::test
