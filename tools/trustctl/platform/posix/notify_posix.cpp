// POSIX builds have no client library: a written list has no one to tell.
#include "io/notify.h"

namespace tl::ctl {

ProductNotice NotifyProduct() { return ProductNotice::kNoProduct; }

}  // namespace tl::ctl
