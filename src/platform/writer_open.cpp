// OpenContainerForWriter: the bounded wait for another writer, the same on
// every platform.
#include "platform/writer_attempt.h"

namespace tl::platform {

WriterOpen OpenContainerForWriter(const char16_t* path, uint32_t wait_ms) {
  WriterOpen out;
  if (path == nullptr || path[0] == 0) return out;
  // Short pauses first (a commit holds a container for milliseconds), then
  // steady ones, so that a waiter neither spins nor oversleeps a release.
  uint32_t waited = 0;
  uint32_t pause = 1;
  for (;;) {
    out.status = detail::TryOpenWriter(path, &out);
    if (out.status != WriterOpenStatus::kInUse || waited >= wait_ms) return out;
    detail::PauseMs(pause);
    waited += pause;
    pause = pause < 32 ? pause * 2 : 50;
  }
}

}  // namespace tl::platform
