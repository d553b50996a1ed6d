// Win32 backend of the file seam: char16_t paths go to the W functions as they are.
#include <windows.h>

#include <cwchar>
#include <new>
#include <string>

#include "platform/fault_hook.h"
#include "platform/file.h"
#include "platform/writer_attempt.h"

namespace tl::platform {
namespace {

// A path as the W functions take it. Paths of MAX_PATH units or more (the
// journal beside a container whose own path is close to the limit) get the
// "\\?\" prefix that lifts the limit; shorter ones are passed as they are.
class W {
 public:
  explicit W(const char16_t* path) {
    const auto* p = reinterpret_cast<const wchar_t*>(path);
    ptr_ = p;
    if (p == nullptr || wcslen(p) < MAX_PATH) return;
    try {
      if (p[0] != 0 && p[1] == L':' && p[2] == L'\\') {
        long_ = std::wstring(L"\\\\?\\") + p;
      } else if (p[0] == L'\\' && p[1] == L'\\' && p[2] != L'?') {
        long_ = std::wstring(L"\\\\?\\UNC\\") + (p + 2);
      } else {
        return;
      }
      ptr_ = long_.c_str();
    } catch (...) {
      ptr_ = nullptr;  // no memory: the call fails on a null path
    }
  }
  operator const wchar_t*() const { return ptr_; }  // NOLINT(google-explicit-constructor)

 private:
  const wchar_t* ptr_ = nullptr;
  std::wstring long_;
};

bool Seek(HANDLE h, uint32_t offset) {
  // Containers stay below 2 GiB, so the 32-bit distance form is enough.
  LONG high = 0;
  const DWORD r = SetFilePointer(h, static_cast<LONG>(offset), &high, FILE_BEGIN);
  return !(r == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE h) : h_(h) {}
  ~Win32File() override { CloseHandle(h_); }

  // Both transfers go on after a short count, so that only a real error or
  // the end of the file stops them.
  bool ReadAt(uint32_t offset, void* buf, uint32_t len, uint32_t* done) override {
    *done = 0;
    if (InjectIoFault(IoOp::kRead)) return false;
    if (!Seek(h_, offset)) return false;
    auto* p = static_cast<uint8_t*>(buf);
    while (*done < len) {
      DWORD got = 0;
      if (ReadFile(h_, p + *done, len - *done, &got, nullptr) == FALSE) return false;
      if (got == 0) break;
      *done += got;
    }
    return true;
  }

  bool WriteAt(uint32_t offset, const void* buf, uint32_t len, uint32_t* done) override {
    *done = 0;
    if (InjectIoFault(IoOp::kWrite)) return false;
    if (!Seek(h_, offset)) return false;
    const auto* p = static_cast<const uint8_t*>(buf);
    while (*done < len) {
      DWORD put = 0;
      if (WriteFile(h_, p + *done, len - *done, &put, nullptr) == FALSE || put == 0) return false;
      *done += put;
    }
    return true;
  }

  bool Size(uint32_t* size) override {
    const DWORD s = GetFileSize(h_, nullptr);
    if (s == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    *size = s;
    return true;
  }

  bool Flush() override {
    if (InjectIoFault(IoOp::kFlush)) return false;
    return FlushFileBuffers(h_) != FALSE;
  }

  bool Identity(FileIdentity* out) override {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(h_, &info) == FALSE) return false;
    out->volume = info.dwVolumeSerialNumber;
    out->index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return true;
  }

  HANDLE handle() const { return h_; }

 private:
  HANDLE h_;
};

std::unique_ptr<File> Wrap(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  auto* f = new (std::nothrow) Win32File(h);
  if (f == nullptr) CloseHandle(h);
  return std::unique_ptr<File>(f);
}

struct Mapping {
  HANDLE file;
  HANDLE map;
};

}  // namespace

std::unique_ptr<File> OpenContainerFile(const char16_t* path) {
  if (path == nullptr) return nullptr;
  // OPEN_ALWAYS: one call that opens an existing file as it is or creates a new
  // one; never CREATE_ALWAYS, which would truncate a container we failed to open.
  return Wrap(CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

namespace detail {

void PauseMs(uint32_t ms) { Sleep(ms); }

// The end of one attempt of a writer's or a reader's hold: `h` is what
// CreateFileW returned and `error` its last error. A sharing violation is
// another holder (kInUse); only a disk file is kept.
WriterOpenStatus KeepHeld(const char16_t* path, HANDLE h, DWORD error, WriterOpen* out) {
  if (h == INVALID_HANDLE_VALUE) {
    out->system_error = error;
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
      return WriterOpenStatus::kInUse;
    }
    const DWORD attributes = GetFileAttributesW(W(path));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return WriterOpenStatus::kNotRegular;
    }
    return WriterOpenStatus::kFailed;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    out->system_error = ERROR_INVALID_FUNCTION;
    CloseHandle(h);
    return WriterOpenStatus::kNotRegular;
  }
  out->file = Wrap(h);
  if (!out->file) {
    out->system_error = ERROR_NOT_ENOUGH_MEMORY;
    return WriterOpenStatus::kFailed;
  }
  return WriterOpenStatus::kOk;
}

// One attempt of OpenContainerForWriter.
WriterOpenStatus TryOpenWriter(const char16_t* path, WriterOpen* out) {
  // DELETE as well, so that a writer can take back a container it created
  // (RemoveHeldContainer); where that right is not granted, the open goes on
  // without it.
  DWORD access = GENERIC_READ | GENERIC_WRITE | DELETE;
  HANDLE h = CreateFileW(W(path), access, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = GetLastError();
  if (h == INVALID_HANDLE_VALUE && error == ERROR_ACCESS_DENIED) {
    access = GENERIC_READ | GENERIC_WRITE;
    h = CreateFileW(W(path), access, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    error = GetLastError();
  }
  // OPEN_ALWAYS reports an existing file through ERROR_ALREADY_EXISTS.
  out->created = h != INVALID_HANDLE_VALUE && error != ERROR_ALREADY_EXISTS;
  return KeepHeld(path, h, error, out);
}

// One attempt of OpenContainerForReader. Sharing reading only: the open fails
// while a writer has the file open for writing, and a writer's open fails
// while this one is open.
WriterOpenStatus TryOpenReader(const char16_t* path, WriterOpen* out) {
  HANDLE h = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return KeepHeld(path, h, GetLastError(), out);
}

}  // namespace detail

bool ResolvedPath(File* file, const char16_t* path, char16_t* out, size_t units) {
  if (path == nullptr || out == nullptr || units == 0) return false;
  if (auto* native = dynamic_cast<Win32File*>(file)) {
    const DWORD n = GetFinalPathNameByHandleW(native->handle(), reinterpret_cast<wchar_t*>(out),
                                              static_cast<DWORD>(units), FILE_NAME_NORMALIZED);
    if (n != 0 && n < units) return true;
  }
  const size_t len = wcslen(reinterpret_cast<const wchar_t*>(path));
  if (len + 1 > units) return false;
  for (size_t i = 0; i <= len; ++i) out[i] = path[i];
  return true;
}

bool RemoveHeldContainer(File* file, const char16_t* path) {
  (void)path;
  auto* native = dynamic_cast<Win32File*>(file);
  if (native == nullptr) return false;
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(native->handle(), FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE;
}

std::unique_ptr<File> OpenFileForReading(const char16_t* path) {
  if (path == nullptr) return nullptr;
  return Wrap(CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::unique_ptr<File> CreateEmptyFile(const char16_t* path) {
  if (path == nullptr) return nullptr;
  return Wrap(CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool RemoveFile(const char16_t* path) {
  if (path == nullptr) return false;
  if (DeleteFileW(W(path)) != FALSE) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool FileExists(const char16_t* path) {
  if (path == nullptr) return false;
  return GetFileAttributesW(W(path)) != INVALID_FILE_ATTRIBUTES;
}

bool MappedFile::Open(const char16_t* path) {
  reset();
  if (path == nullptr) return false;
  HANDLE file = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD size = GetFileSize(file, nullptr);
  if (size == 0) {  // an empty file cannot be mapped; it simply has no bytes
    CloseHandle(file);
    return true;
  }
  HANDLE map = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (map == nullptr) {
    CloseHandle(file);
    return false;
  }
  const void* view = MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0);
  auto* m = view != nullptr ? new (std::nothrow) Mapping{file, map} : nullptr;
  if (m == nullptr) {
    if (view != nullptr) UnmapViewOfFile(view);
    CloseHandle(map);
    CloseHandle(file);
    return false;
  }
  // The low 32 bits of the size bound every read of the view.
  os_ = m;
  data_ = static_cast<const uint8_t*>(view);
  size_ = size;
  return true;
}

void MappedFile::reset() {
  if (os_ != nullptr) {
    auto* m = static_cast<Mapping*>(os_);
    UnmapViewOfFile(data_);
    CloseHandle(m->map);
    CloseHandle(m->file);
    delete m;
  }
  os_ = nullptr;
  data_ = nullptr;
  size_ = 0;
}

}  // namespace tl::platform
