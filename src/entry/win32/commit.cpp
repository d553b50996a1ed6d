#include "entry/win32/commit.h"

#include <windows.h>

#include "client/client_notify.h"
#include "client/module_loader.h"
#include "common/u16.h"
#include "entry/list_store.h"
#include "entry/payload_builder.h"
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

// The Windows error code that tells a caller why a store failed, as the
// functions of the system tell theirs: the system's own code where there is
// one, else the nearest standard one.
DWORD CauseOf(StoreStatus status, uint32_t system_error, DWORD write_error) {
  switch (status) {
    case StoreStatus::kOk:
      return ERROR_SUCCESS;
    case StoreStatus::kInUse:
      return ERROR_SHARING_VIOLATION;
    case StoreStatus::kNotRegularFile:
      return ERROR_BAD_FILE_TYPE;
    case StoreStatus::kOpenFailed:
      return system_error != 0 ? system_error : ERROR_OPEN_FAILED;
    case StoreStatus::kRecoveryFailed:
    case StoreStatus::kDamaged:
      return ERROR_FILE_CORRUPT;
    case StoreStatus::kBadParameters:
      return ERROR_INVALID_PARAMETER;
    case StoreStatus::kNotOpen:
      return ERROR_INVALID_HANDLE;
    case StoreStatus::kNoMemory:
      return ERROR_NOT_ENOUGH_MEMORY;
    case StoreStatus::kReadFailed:
      return ERROR_READ_FAULT;
    case StoreStatus::kTooLarge:
      return ERROR_FILE_TOO_LARGE;
    case StoreStatus::kNoRoom:
      return ERROR_DISK_FULL;
    case StoreStatus::kWriteFailed:
      return write_error != 0 ? write_error : ERROR_WRITE_FAULT;
    case StoreStatus::kBadStreamName:
      return ERROR_INVALID_NAME;
    case StoreStatus::kEmptyFile:
      return ERROR_FILE_INVALID;
  }
  return ERROR_GEN_FAILURE;
}

// Writes `built`'s payload, or the global list's when `built` is null.
uint32_t WriteSelectedStream(PayloadBuilder* built, DWORD* cause) {
  const TrustlistRequest* request = CurrentRequest();
  if (request == nullptr) {
    *cause = ERROR_INVALID_HANDLE;  // nothing selected
    return 0;
  }
  if (request->skip != 0) {
    *cause = ERROR_CANCELLED;
    return 0;
  }

  char16_t target[TRUSTLIST_TARGET_PATH_UNITS];
  char16_t stream[TRUSTLIST_STREAM_NAME_UNITS];
  if (!CopyField(target, request->targetPath, TRUSTLIST_TARGET_PATH_UNITS) ||
      !CopyField(stream, request->streamName, TRUSTLIST_STREAM_NAME_UNITS)) {
    *cause = ERROR_INVALID_PARAMETER;
    return 0;
  }
  // A second writer (another process of the product, trustctl) is waited for
  // a bounded time; one that holds the container longer makes this commit
  // fail as any other failed open does.
  ListStore store;
  StoreStatus status = store.Open(target, kCommitCreationParameters);
  uint32_t result = 0;
  DWORD write_error = 0;
  if (status == StoreStatus::kOk) {
    SetLastError(ERROR_SUCCESS);
    status = built != nullptr ? store.WriteBuilt(stream, *built, &result)
                              : store.WriteList(stream, GlobalList(), &result);
    write_error = GetLastError();  // the failed write's, before anything else runs
  }
  *cause = CauseOf(status, store.system_error(), write_error);
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
  DWORD cause = ERROR_SUCCESS;
  uint32_t result = WriteSelectedStream(nullptr, &cause);
  GlobalList().RemoveAll();
  NotifyClient();
  // Last, so that the client's loading cannot overwrite it.
  SetLastError(cause);
  return result;
}

uint32_t CommitBuilt(PayloadBuilder& built) {
  DWORD cause = ERROR_SUCCESS;
  uint32_t result = WriteSelectedStream(&built, &cause);
  GlobalList().RemoveAll();
  NotifyClient();
  // Last, so that the client's loading cannot overwrite it.
  SetLastError(cause);
  return result;
}

uint32_t DiscardCommit(uint32_t cause) {
  GlobalList().RemoveAll();
  NotifyClient();
  SetLastError(cause);
  return 0;
}

}  // namespace tl::entry
