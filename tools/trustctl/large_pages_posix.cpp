// trustctl's own allocation functions on POSIX: the standard ones, with the
// large-buffer hint of the library's allocator (common/zalloc.h) given to every
// allocation of 4 MiB and more. A command's large buffers are std::vector and
// std::string (a stream read back and unscrambled, a container read whole, an
// output document); each is written from end to end soon after it is had, so
// huge pages spare one page fault per 4 KiB of it. Linked into the program
// only, never into a library, and left out of the sanitizer builds, whose
// runtimes bring allocation functions of their own.
#include <cstdlib>
#include <new>

#include "common/zalloc.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TL_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TL_SANITIZED 1
#endif

#ifndef TL_SANITIZED

void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  tl::AdviseLargeBuffer(p, size);
  return p;
}

void* operator new[](std::size_t size) { return ::operator new(size); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

#endif
