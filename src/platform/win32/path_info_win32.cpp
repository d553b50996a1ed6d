// Win32 backend of path examination and file replacement (see path_info.h).
#include <windows.h>

#include <new>
#include <string>

#include "platform/path_info.h"

namespace tl::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

struct Names {
  std::wstring target;
  std::wstring temp;
};

const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }

bool IsMissing(DWORD e) {
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME;
}

// A handle to the file itself for reading its attributes, not its data.
HANDLE OpenForAttributes(const wchar_t* path) {
  return CreateFileW(path, FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

PathInfo ExaminePath(const char16_t* path) {
  PathInfo info;
  if (path == nullptr || *path == 0) {
    info.kind = PathKind::kMissing;
    info.error = ERROR_FILE_NOT_FOUND;
    return info;
  }
  const HANDLE h = OpenForAttributes(W(path));
  if (h == INVALID_HANDLE_VALUE) {
    info.error = GetLastError();
    info.kind = IsMissing(info.error) ? PathKind::kMissing : PathKind::kUnknown;
    return info;
  }
  const DWORD type = GetFileType(h);
  BY_HANDLE_FILE_INFORMATION fi{};
  if (type != FILE_TYPE_DISK) {
    info.kind = PathKind::kOther;
  } else if (!GetFileInformationByHandle(h, &fi)) {
    info.error = GetLastError();
  } else {
    info.kind = (fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kDirectory
                                                                      : PathKind::kRegular;
    info.volume = fi.dwVolumeSerialNumber;
    info.file = (uint64_t{fi.nFileIndexHigh} << 32) | fi.nFileIndexLow;
  }
  CloseHandle(h);
  return info;
}

uint32_t OpenForReadingError(const char16_t* path) {
  const HANDLE h = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(h);
  return 0;
}

ReplacementFile::~ReplacementFile() { Abandon(); }

void ReplacementFile::Abandon() {
  auto* names = static_cast<Names*>(names_);
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  if (names != nullptr && !direct_ && handle_ != -1) DeleteFileW(names->temp.c_str());
  handle_ = -1;
  delete names;
  names_ = nullptr;
}

bool ReplacementFile::Open(const char16_t* target, uint32_t* error) {
  Abandon();
  auto* names = new (std::nothrow) Names;
  if (names == nullptr) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  names_ = names;
  names->target = W(target);
  const PathInfo info = ExaminePath(target);
  if (info.kind == PathKind::kUnknown) {
    *error = info.error;
    return false;
  }
  if (info.kind == PathKind::kDirectory) {
    *error = ERROR_DIRECTORY;
    return false;
  }
  if (info.kind == PathKind::kOther) {
    direct_ = true;
    const HANDLE h = CreateFileW(names->target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      *error = GetLastError();
      return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
  }
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    names->temp = names->target + L".trustctl-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(attempt);
    const HANDLE h = CreateFileW(names->temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
    if (h == INVALID_HANDLE_VALUE) {
      *error = GetLastError();
      return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
  }
  *error = ERROR_FILE_EXISTS;
  return false;
}

bool ReplacementFile::Write(const void* data, size_t len, uint32_t* error) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    const DWORD piece = len > 0x40000000 ? 0x40000000 : static_cast<DWORD>(len);
    DWORD done = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle_), p, piece, &done, nullptr) || done == 0) {
      *error = GetLastError();
      return false;
    }
    p += done;
    len -= done;
  }
  return true;
}

bool ReplacementFile::Commit(uint32_t* error) {
  auto* names = static_cast<Names*>(names_);
  const HANDLE h = reinterpret_cast<HANDLE>(handle_);
  handle_ = -1;
  if (direct_) {
    if (!CloseHandle(h)) {
      *error = GetLastError();
      return false;
    }
    return true;
  }
  const bool flushed = FlushFileBuffers(h) != 0;
  const DWORD flush_error = GetLastError();
  CloseHandle(h);
  if (!flushed) {
    *error = flush_error;
    DeleteFileW(names->temp.c_str());
    return false;
  }
  if (!MoveFileExW(names->temp.c_str(), names->target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = GetLastError();
    DeleteFileW(names->temp.c_str());
    return false;
  }
  return true;
}

}  // namespace tl::platform
