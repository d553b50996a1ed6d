// trustctl.exe tells the product through the library's own notification
// sequence and loader. The loader looks first beside the module its code is
// linked into: here trustctl.exe, which the release ships beside
// trustlist.dll, so the client found is the one a commit would find.
#include "client/client_notify.h"
#include "client/module_loader.h"
#include "platform/notify_backend.h"

namespace tl::ctl {

ProductNotice NotifyProduct() {
  CModuleLoader loader(client::kClientModuleName);
  switch (client::NotifyClientOfChange(loader)) {
    case client::ChangeNotice::kDelivered:
      return ProductNotice::kTold;
    case client::ChangeNotice::kNoNotification:
      return ProductNotice::kNoNotification;
    case client::ChangeNotice::kNoClient:
      break;
  }
  return ProductNotice::kNoClient;
}

}  // namespace tl::ctl
