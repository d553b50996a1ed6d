// The platform's part of telling the running product of a change
// (io/notify.h): win32/notify_win32.cpp calls the client library's change
// notification; posix/notify_posix.cpp has no product to tell.
#pragma once

#include <cstdint>

namespace tl::ctl {

enum class ProductNotice : uint8_t {
  kTold,            // the client's change notification was called
  kNoClient,        // no client library found where one may be loaded from
  kNoNotification,  // the client found has no change notification
  kNoProduct,       // this platform has no client (POSIX): nothing to tell
};

ProductNotice NotifyProduct();

}  // namespace tl::ctl
