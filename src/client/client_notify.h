// Telling the product that a list changed: the client library is loaded from
// the places CModuleLoader allows, its entries are resolved, its change
// notification (ordinal 16) is called once and the library is released again.
// The library's commit ends with this, and so does every trustctl.exe command
// that wrote a stream; both take the loader's search, so the client comes from
// beside the module the code is linked into (trustlist.dll, or trustctl.exe,
// which the release ships beside it), System32, or a trusted manifest's or
// win.ini's absolute path, never from the current directory or PATH.
#pragma once

#include <cstdint>

#include "client/module_loader.h"

namespace tl::client {

// The client's base name.
inline constexpr wchar_t kClientModuleName[] = L"VeltrixClt";

enum class ChangeNotice : uint8_t {
  kDelivered,       // the notification was called
  kNoClient,        // no allowed place had a client that loads
  kNoNotification,  // the client loaded but has no change notification
};

// Loads the client through `loader`, calls its change notification when it
// has one, and releases it (the entry table is empty again afterwards).
ChangeNotice NotifyClientOfChange(CModuleLoader& loader);

}  // namespace tl::client
