#include "commands/list_signature_check.h"

#include <ctime>

#include "io/input_file.h"
#include "sign/list_signature.h"

namespace tl::ctl {
namespace {

bool ReadText(const std::string& arg, const char* role, std::string* text, Failure* failure) {
  InputFile in;
  std::vector<uint8_t> bytes;
  std::string error;
  if (!in.Open(arg, role, &error) || !in.ReadAll(&bytes, &error)) {
    return Fail(FailureKind::kInput, error + "; nothing was written", failure);
  }
  text->assign(bytes.begin(), bytes.end());
  return true;
}

}  // namespace

std::string SignaturePath(const std::string& list_arg, const SignatureFiles& files) {
  if (!files.signature.empty()) return files.signature;
  return list_arg == "-" ? std::string() : list_arg + ".sig";
}

bool CheckListSignature(const std::vector<uint8_t>& list, const std::string& list_shown,
                        const std::string& list_arg, const SignatureFiles& files,
                        std::string* principal, Failure* failure) {
  std::string signature, allowed;
  const std::string signature_path = SignaturePath(list_arg, files);
  if (!ReadText(signature_path, "signature", &signature, failure) ||
      !ReadText(files.allowed_signers, "allowed signers file", &allowed, failure)) {
    return false;
  }
  const sign::SignatureVerdict verdict = sign::VerifyListSignature(
      list.data(), list.size(), signature, allowed, static_cast<int64_t>(std::time(nullptr)));
  if (!verdict.ok) {
    return Fail(FailureKind::kSignature,
                list_shown + ": not applied, its signature is refused (" + signature_path +
                    ", allowed signers " + files.allowed_signers + "): " + verdict.reason +
                    "; nothing was written",
                failure);
  }
  *principal = verdict.principal;
  return true;
}

}  // namespace tl::ctl
