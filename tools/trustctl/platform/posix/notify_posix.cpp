// POSIX builds have no client library: a written list has no one to tell.
#include "platform/notify_backend.h"

namespace tl::ctl {

ProductNotice NotifyProduct() { return ProductNotice::kNoProduct; }

}  // namespace tl::ctl
