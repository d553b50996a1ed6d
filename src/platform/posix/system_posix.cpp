// POSIX backend of the small system services.
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system.h"

namespace tl::platform {

bool IsReadable4(const void* p) {
  // Reading our own memory through the kernel reports EFAULT for an unmapped or
  // unreadable range instead of raising a signal.
  char sink[4];
  iovec local{sink, sizeof sink};
  iovec remote{const_cast<void*>(p), sizeof sink};
  const ssize_t r = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
  if (r == static_cast<ssize_t>(sizeof sink)) return true;
  if (r < 0 && (errno == ENOSYS || errno == EPERM)) return p != nullptr;
  return false;
}

bool IsReadableRange(const void* p, size_t len) {
  // Pages are the unit of protection: one 4-byte read per page touched, and
  // the range's last 4 bytes.
  const auto start = reinterpret_cast<uintptr_t>(p);
  if (len == 0 || start + len < start) return false;
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t last = start + len - 1;
  for (uintptr_t at = start; at <= last; at = (at | (page - 1)) + 1) {
    if (!IsReadable4(reinterpret_cast<const void*>(at))) return false;
    if ((at | (page - 1)) >= last) break;
  }
  return last - start < 3 || IsReadable4(reinterpret_cast<const void*>(last - 3));
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

}  // namespace tl::platform
