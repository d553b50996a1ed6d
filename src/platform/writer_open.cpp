// OpenContainerForWriter and OpenContainerForReader: the bounded wait for a
// writer that holds the container, the same on every platform.
#include "platform/writer_attempt.h"

namespace tl::platform {

namespace {

using Attempt = WriterOpenStatus (*)(const char16_t*, WriterOpen*);

WriterOpen OpenWaiting(const char16_t* path, uint32_t wait_ms, Attempt attempt) {
  WriterOpen out;
  if (path == nullptr || path[0] == 0) return out;
  // Short pauses first (a commit holds a container for milliseconds), then
  // steady ones, so that a waiter neither spins nor oversleeps a release.
  uint32_t waited = 0;
  uint32_t pause = 1;
  for (;;) {
    out.status = attempt(path, &out);
    if (out.status != WriterOpenStatus::kInUse || waited >= wait_ms) return out;
    detail::PauseMs(pause);
    waited += pause;
    pause = pause < 32 ? pause * 2 : 50;
  }
}

}  // namespace

WriterOpen OpenContainerForWriter(const char16_t* path, uint32_t wait_ms) {
  return OpenWaiting(path, wait_ms, detail::TryOpenWriter);
}

WriterOpen OpenContainerForReader(const char16_t* path, uint32_t wait_ms) {
  return OpenWaiting(path, wait_ms, detail::TryOpenReader);
}

}  // namespace tl::platform
