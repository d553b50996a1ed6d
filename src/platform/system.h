// Small operating-system services used by portable code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tl::platform {

// True when the process can read the 4 bytes at `p`. Must not touch guard
// pages or raise a fault.
bool IsReadable4(const void* p);

// True when the process can read every byte of [p, p + len), with the same
// care as IsReadable4; false for an empty range or one that wraps the address
// space. Where the system describes memory by regions
// of equal protection, one query answers for a whole region rather than a page.
bool IsReadableRange(const void* p, size_t len);

// How many bytes from `p` on the process can read without a gap, counted up
// to `max` (so the result is at most `max`; 0 when `p` itself is unreadable).
// Readability changes only at page boundaries, so the count ends at one.
size_t ReadableBytes(const void* p, size_t max);

// The current UTC time as a FILETIME value (100 ns intervals since 1601-01-01).
uint64_t UtcNowFileTime();

// Sets the process error mode for its lifetime and restores the previous one.
// No-op on POSIX.
class ErrorModeScope {
 public:
  explicit ErrorModeScope(unsigned mode);
  ~ErrorModeScope();
  ErrorModeScope(const ErrorModeScope&) = delete;
  ErrorModeScope& operator=(const ErrorModeScope&) = delete;

 private:
  [[maybe_unused]] unsigned previous_ = 0;  // unused where the mode is a no-op
};

// The current process id (seeds the key generator at attach).
uint32_t CurrentProcessId();

// The calling thread's last system error code (errno; GetLastError), read
// right after the call that failed, before anything else can change it.
uint32_t LastSystemError();

// The system's own text for an error code (strerror; FormatMessage), without
// a trailing line break or full stop; "error N" when the system has none.
std::string SystemErrorText(uint32_t code);

}  // namespace tl::platform
