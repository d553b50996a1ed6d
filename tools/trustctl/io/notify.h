// After a command wrote a stream, the running product is told, as the
// library's commit tells it, so that it takes the new list up at once rather
// than at its next reload. Once per command, only after a write (a command
// that finds the list already as wanted writes nothing and tells nobody), and
// not at all with --no-notify. Telling is best effort, as in a commit: a
// product that cannot be told is said on the error stream, and the command
// still succeeds, since the list is written.
#pragma once

#include <cstdint>

#include "commands/command.h"

namespace tl::ctl {

enum class ProductNotice : uint8_t {
  kTold,            // the client's change notification was called
  kNoClient,        // no client library found where one may be loaded from
  kNoNotification,  // the client found has no change notification
  kNoProduct,       // this platform has no client (POSIX): nothing to tell
};

// The platform's part (win32/notify_win32.cpp, posix/notify_posix.cpp).
ProductNotice NotifyProduct();

// Tells the product unless io.notify is off; a product that could not be
// told is said on the error stream.
void TellProduct(Io& io);

}  // namespace tl::ctl
