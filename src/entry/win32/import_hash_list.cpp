#include "entry/win32/import_hash_list.h"

#include <windows.h>

#include "entry/hash_list.h"
#include "entry/payload_builder.h"
#include "entry/win32/commit.h"
#include "entry/win32/library_state.h"
#include "entry/win32/select_target.h"
#include "platform/file.h"

namespace tl::entry {

uint32_t ImportHashList(const wchar_t* path, int32_t program_list) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The file is opened before anything changes, and held open while the
  // selection is replaced: a file that cannot be opened leaves every state as
  // it was.
  std::unique_ptr<platform::File> file =
      platform::OpenFileForReading(reinterpret_cast<const char16_t*>(path));
  if (!file) return 0;  // the open's own last error stays

  SelectTarget(1, program_list);

  // The reader the tests and trustctl drive; its blocks go straight into the
  // payload the commit stores, with the list's rule of replacement by key.
  SetLastError(ERROR_SUCCESS);
  PayloadBuilder built;
  HashListStats stats;
  const bool whole = BuildHashListPayload(*file, built, &stats);
  const DWORD read_error = GetLastError();
  file.reset();
  // A read error or a block that found no memory leaves only part of the list
  // in hand: storing it would replace the stream with less than the file
  // holds, so nothing is written.
  if (stats.dropped != 0) return DiscardCommit(ERROR_NOT_ENOUGH_MEMORY);
  if (!whole) return DiscardCommit(read_error != ERROR_SUCCESS ? read_error : ERROR_READ_FAULT);
  return CommitBuilt(built);
}

}  // namespace tl::entry
