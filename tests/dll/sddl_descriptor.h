// A security descriptor built in memory from an SDDL string, for the tests of
// the trust decisions (Wine keeps no descriptors for files, so the decisions
// are tested on descriptors made this way).
#pragma once

#include <sddl.h>
#include <windows.h>

#include <string>

namespace tl::test {

class Descriptor {
 public:
  explicit Descriptor(const std::wstring& sddl) {
    ok_ = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd_,
                                                               nullptr) != FALSE;
  }
  ~Descriptor() { LocalFree(sd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  bool ok() const { return ok_; }
  PSECURITY_DESCRIPTOR get() const { return sd_; }

 private:
  PSECURITY_DESCRIPTOR sd_ = nullptr;
  bool ok_ = false;
};

}  // namespace tl::test
