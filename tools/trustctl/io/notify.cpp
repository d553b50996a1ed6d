#include "io/notify.h"

#include "platform/notify_backend.h"

namespace tl::ctl {

void TellProduct(Io& io) {
  if (!io.notify) return;
  switch (NotifyProduct()) {
    case ProductNotice::kTold:
    case ProductNotice::kNoProduct:
      return;
    case ProductNotice::kNoClient:
      Complain(io,
               "the product was not told of the change: no client library VeltrixClt.dll "
               "beside trustctl, in System32 or registered (the list is written; the product "
               "takes it up at its next reload)");
      return;
    case ProductNotice::kNoNotification:
      Complain(io,
               "the product was not told of the change: its client library VeltrixClt.dll has "
               "no change notification (the list is written; the product takes it up at its "
               "next reload)");
      return;
  }
}

}  // namespace tl::ctl
