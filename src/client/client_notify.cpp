#include "client/client_notify.h"

#include "client/client_entries.h"

namespace tl::client {

ChangeNotice NotifyClientOfChange(CModuleLoader& loader) {
  if (LoadClientEntries(loader.Load()) == 0) return ChangeNotice::kNoClient;
  const bool has_notification = ClientEntry(kChangeNotificationIndex) != nullptr;
  NotifyClientChange();
  ReleaseClientEntries();
  return has_notification ? ChangeNotice::kDelivered : ChangeNotice::kNoNotification;
}

}  // namespace tl::client
