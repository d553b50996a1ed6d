#include "platform/win32/console_win32.h"

#include "platform/console_text.h"

namespace tl::ctl {

std::unique_ptr<std::streambuf> ConsoleBufferFor(HANDLE handle) {
  DWORD mode = 0;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    return nullptr;
  }
  return std::make_unique<Utf16OutBuf>([handle](std::u16string_view text) {
    // WriteConsoleW may write fewer characters than asked: go on from there.
    while (!text.empty()) {
      const DWORD chunk = text.size() > 16384 ? 16384 : static_cast<DWORD>(text.size());
      DWORD written = 0;
      if (!WriteConsoleW(handle, text.data(), chunk, &written, nullptr) || written == 0) {
        return false;
      }
      text.remove_prefix(written);
    }
    return true;
  });
}

ConsoleRoute::ConsoleRoute(std::ostream& stream, HANDLE handle)
    : stream_(stream), buffer_(ConsoleBufferFor(handle)) {
  if (buffer_) {
    stream_.flush();
    previous_ = stream_.rdbuf(buffer_.get());
  }
}

ConsoleRoute::~ConsoleRoute() {
  if (!buffer_) return;
  stream_.flush();
  stream_.rdbuf(previous_);
}

}  // namespace tl::ctl
