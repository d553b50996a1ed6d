#include "entry/win32/commit.h"

#include "client/client_notify.h"
#include "client/module_loader.h"
#include "common/u16.h"
#include "entry/list_store.h"
#include "entry/win32/library_state.h"
#include "minifile/creation_parameters.h"

namespace tl::entry {

namespace {

// The record belongs to the caller as much as to us: it may have rewritten the
// fields since SelectTarget. Its texts are taken only when terminated inside
// their fields, so that neither the open nor the stream write reads past them.
bool CopyField(char16_t* dst, const trustlist_wchar* field, size_t units) {
  const auto* src = reinterpret_cast<const char16_t*>(field);
  size_t len = U16Len(src, units);
  if (len == 0 || len >= units) return false;
  U16Copy(dst, units, src, units);
  return true;
}

uint32_t WriteSelectedStream() {
  const TrustlistRequest* request = CurrentRequest();
  if (request == nullptr || request->skip != 0) return 0;

  char16_t target[TRUSTLIST_TARGET_PATH_UNITS];
  char16_t stream[TRUSTLIST_STREAM_NAME_UNITS];
  if (!CopyField(target, request->targetPath, TRUSTLIST_TARGET_PATH_UNITS) ||
      !CopyField(stream, request->streamName, TRUSTLIST_STREAM_NAME_UNITS)) {
    return 0;
  }
  // A second writer (another process of the product, trustctl) is waited for
  // a bounded time; one that holds the container longer makes this commit
  // fail as any other failed open does.
  ListStore store;
  if (store.Open(target, kCommitCreationParameters) != StoreStatus::kOk) return 0;
  uint32_t result = 0;
  store.WriteList(stream, GlobalList(), &result);
  store.Close();
  GlobalList().SetModified(0);
  return result;
}

}  // namespace

void NotifyClient() {
  CModuleLoader loader(client::kClientModuleName);
  client::NotifyClientOfChange(loader);
}

uint32_t Commit() {
  uint32_t result = WriteSelectedStream();
  GlobalList().RemoveAll();
  NotifyClient();
  return result;
}

uint32_t DiscardCommit() {
  GlobalList().RemoveAll();
  NotifyClient();
  return 0;
}

}  // namespace tl::entry
