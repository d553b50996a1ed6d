// SSH signatures of files (OpenSSH's PROTOCOL.sshsig), as `ssh-keygen -Y sign`
// writes them: the armoured text
//
//   -----BEGIN SSH SIGNATURE-----\n
//   base64 of the blob (any line width; whitespace is skipped)
//   \n-----END SSH SIGNATURE-----   (anything after the footer is ignored)
//
// where the header must open the text exactly (an LF line end, nothing before
// it), and the blob, in the wire format (sign/ssh_wire.h):
//
//   FIELD            ENCODING   CONTENT
//   magic            6 bytes    "SSHSIG"
//   version          uint32     1 (0 reads too, as in OpenSSH; later ones do not)
//   public key       string     the signing key (sign/ssh_key.h)
//   namespace        text       what the signature is for: "trustlist" here
//   reserved         string     ignored (OpenSSH writes it empty and never signs it)
//   hash algorithm   text       "sha256" or "sha512": what hashes the message
//   signature        string     the key's signature (sign/key_signature.h) of
//                               the signed data below
//
// Nothing may follow the signature. The key signs (SignedData):
//
//   magic            6 bytes    "SSHSIG"
//   namespace        string
//   reserved         string     always empty
//   hash algorithm   string
//   H(message)       string     the message's digest by the hash algorithm
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sign/ssh_key.h"

namespace tl::ctl::sign {

struct SshSignature {
  uint32_t version = 0;
  SshPublicKey key;
  std::string name_space;
  std::string hash_algorithm;
  std::vector<uint8_t> key_signature;
};

struct SshSignatureParse {
  enum class Status {
    kOk,
    kEmpty,        // the text is empty or whitespace only: no signature at all
    kMalformed,    // not an SSH signature: `problem` says where it breaks
    kUnsupported,  // well formed, but by a kind of key not supported: `problem`
  };
  Status status = Status::kMalformed;
  SshSignature signature;  // when kOk
  std::string problem;
};

SshSignatureParse ParseSshSignature(std::string_view armoured);

std::vector<uint8_t> SignedData(std::string_view name_space, std::string_view hash_algorithm,
                                std::span<const uint8_t> message_digest);

}  // namespace tl::ctl::sign
