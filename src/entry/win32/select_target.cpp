#include "entry/win32/select_target.h"

#include "common/zalloc.h"
#include "entry/stream_names.h"
#include "entry/win32/library_state.h"
#include "entry/win32/target_path.h"

namespace tl::entry {

namespace {

void CopyTerminated(trustlist_wchar* dst, size_t cap, const wchar_t* src) {
  size_t n = 0;
  while (n + 1 < cap && src[n] != L'\0') {
    dst[n] = static_cast<trustlist_wchar>(src[n]);
    ++n;
  }
  dst[n] = 0;
}

}  // namespace

TrustlistRequest* SelectTarget(int32_t custom_file, int32_t program_list) {
  // The module path in a buffer of the target's own size: a path that fills it
  // was cut, and its directory would not hold the container name anyway.
  wchar_t module_path[kTargetPathUnits];
  DWORD module_len = GetModuleFileNameW(HostModule(), module_path, kTargetPathUnits);
  wchar_t target[kTargetPathUnits];
  const bool have_target =
      ComposeTargetPath(module_path, module_len, kTargetPathUnits, custom_file != 0, target);

  ReleaseRequestChain();
  if (have_target) {
    auto* record = static_cast<TrustlistRequest*>(ZeroAlloc(sizeof(TrustlistRequest)));
    if (record != nullptr) {
      CopyTerminated(record->targetPath, TRUSTLIST_TARGET_PATH_UNITS, target);
      CopyTerminated(record->streamName, TRUSTLIST_STREAM_NAME_UNITS,
                     reinterpret_cast<const wchar_t*>(program_list != 0 ? kProgramListStream
                                                                        : kBlockListStream));
      record->skip = 0;
      record->next = nullptr;
      AppendRequest(record);
    }
  }
  GlobalList().RemoveAll();
  return CurrentRequest();
}

}  // namespace tl::entry
