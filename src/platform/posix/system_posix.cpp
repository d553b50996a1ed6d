// POSIX backend of the small system services.
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/system.h"

namespace tl::platform {

namespace {

// Reading our own memory through the kernel reports EFAULT for an unmapped or
// unreadable range instead of raising a signal.
bool ReadableAt(const void* p, size_t n) {
  char sink[4];
  iovec local{sink, n};
  iovec remote{const_cast<void*>(p), n};
  const ssize_t r = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
  if (r == static_cast<ssize_t>(n)) return true;
  if (r < 0 && (errno == ENOSYS || errno == EPERM)) return p != nullptr;
  return false;
}

}  // namespace

bool IsReadable4(const void* p) { return ReadableAt(p, 4); }

size_t ReadableBytes(const void* p, size_t max) {
  // Pages are the unit of protection: one byte is read from each page touched.
  const auto addr = reinterpret_cast<uintptr_t>(p);
  if (max > UINTPTR_MAX - addr) max = UINTPTR_MAX - addr;
  const uintptr_t end = addr + max;
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  uintptr_t at = addr;
  while (at < end) {
    if (!ReadableAt(reinterpret_cast<const void*>(at), 1)) break;
    const uintptr_t next = (at | (page - 1)) + 1;  // 0 past the top of the address space
    if (next == 0 || next >= end) {
      at = end;
      break;
    }
    at = next;
  }
  return at >= end ? max : at - addr;
}

uint64_t UtcNowFileTime() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  constexpr uint64_t kEpochDelta = 116444736000000000ull;  // 1601-01-01 to 1970-01-01
  return kEpochDelta + static_cast<uint64_t>(ts.tv_sec) * 10000000ull +
         static_cast<uint64_t>(ts.tv_nsec) / 100;
}

ErrorModeScope::ErrorModeScope(unsigned mode) { (void)mode; }
ErrorModeScope::~ErrorModeScope() = default;

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

uint32_t LastSystemError() { return static_cast<uint32_t>(errno); }

std::string SystemErrorText(uint32_t code) {
  char buf[256] = {};
  // The GNU strerror_r returns its text (which may not be `buf`).
  const char* text = ::strerror_r(static_cast<int>(code), buf, sizeof buf);
  if (text == nullptr || *text == 0) return "error " + std::to_string(code);
  return text;
}

}  // namespace tl::platform
