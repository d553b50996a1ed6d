// POSIX backend of the file seam: paths converted to UTF-8 here and nowhere else.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>

#include "common/u16.h"
#include "platform/fault_hook.h"
#include "platform/file.h"
#include "platform/writer_attempt.h"

namespace tl::platform {

void SyncParentFolder(const std::string& path);

namespace {

bool ToNative(const char16_t* path, std::string* out) {
  if (path == nullptr) return false;
  try {
    *out = U16ToUtf8(std::u16string_view(path));
  } catch (...) {
    return false;
  }
  return !out->empty();
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }

  // Both transfers go on after a short count and retry a call that a signal
  // interrupted, so that only a real error or the end of the file stops them.
  bool ReadAt(uint32_t offset, void* buf, uint32_t len, uint32_t* done) override {
    *done = 0;
    if (InjectIoFault(IoOp::kRead)) return false;
    auto* p = static_cast<uint8_t*>(buf);
    while (*done < len) {
      const ssize_t r = ::pread(fd_, p + *done, len - *done, static_cast<off_t>(offset) + *done);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return false;
      if (r == 0) break;
      *done += static_cast<uint32_t>(r);
    }
    return true;
  }

  bool WriteAt(uint32_t offset, const void* buf, uint32_t len, uint32_t* done) override {
    *done = 0;
    if (InjectIoFault(IoOp::kWrite)) return false;
    const auto* p = static_cast<const uint8_t*>(buf);
    while (*done < len) {
      const ssize_t r = ::pwrite(fd_, p + *done, len - *done, static_cast<off_t>(offset) + *done);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      *done += static_cast<uint32_t>(r);
    }
    return true;
  }

  bool Size(uint32_t* size) override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    *size = static_cast<uint32_t>(static_cast<uint64_t>(st.st_size));
    return true;
  }

  bool Flush() override {
    if (InjectIoFault(IoOp::kFlush)) return false;
    int r = 0;
    do {
      r = ::fsync(fd_);
    } while (r != 0 && errno == EINTR);
    return r == 0;
  }

  bool Identity(FileIdentity* out) override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    out->volume = static_cast<uint64_t>(st.st_dev);
    out->index = static_cast<uint64_t>(st.st_ino);
    return true;
  }

 private:
  int fd_;
};

std::unique_ptr<File> Wrap(int fd) {
  if (fd < 0) return nullptr;
  auto* f = new (std::nothrow) PosixFile(fd);
  if (f == nullptr) ::close(fd);
  return std::unique_ptr<File>(f);
}

struct Mapping {
  void* addr;
  size_t len;
};

// Takes the advisory lock `lock` (LOCK_EX for the writer, LOCK_SH for a
// reader) on the open regular file `fd` without waiting, checks that the name
// still leads to that file, and hands it to `out`. kInUse: another holder has
// the lock. *again: the name no longer leads to the file just locked (its
// writer removed a container it had created), so the open starts over. `fd`
// is closed on every failure.
WriterOpenStatus HoldOpened(int fd, const std::string& native, int lock, WriterOpen* out,
                            bool* again) {
  *again = false;
  int r = 0;
  do {
    r = ::flock(fd, lock | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    const int error = errno;
    ::close(fd);
    out->system_error = static_cast<uint32_t>(error);
    return error == EWOULDBLOCK ? WriterOpenStatus::kInUse : WriterOpenStatus::kFailed;
  }
  struct stat st {};
  struct stat now {};
  if (::fstat(fd, &st) != 0 || ::stat(native.c_str(), &now) != 0 || now.st_dev != st.st_dev ||
      now.st_ino != st.st_ino) {
    ::close(fd);
    *again = true;
    return WriterOpenStatus::kFailed;
  }
  out->file = Wrap(fd);
  if (!out->file) {
    out->system_error = ENOMEM;
    return WriterOpenStatus::kFailed;
  }
  return WriterOpenStatus::kOk;
}

// One attempt of OpenContainerForWriter. kInUse: the lock was held by another
// writer. *again: the name no longer leads to the file just locked (its
// writer removed a container it had created), so the open starts over.
WriterOpenStatus TryOpenNative(const std::string& native, WriterOpen* out, bool* again) {
  *again = false;
  // O_NONBLOCK: an open never waits for a FIFO's other end. O_EXCL first, to
  // learn whether this open made the file.
  int fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0644);
  const bool created = fd >= 0;
  // Something is there: a file, or a link (O_EXCL never follows one), which
  // this open follows and, when it leads nowhere yet, creates the file of.
  if (fd < 0 && errno == EEXIST) {
    fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
  }
  if (fd < 0) {
    out->system_error = static_cast<uint32_t>(errno);
    return errno == EISDIR || errno == ENXIO ? WriterOpenStatus::kNotRegular
                                             : WriterOpenStatus::kFailed;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    out->system_error = static_cast<uint32_t>(errno);
    ::close(fd);
    return WriterOpenStatus::kNotRegular;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  out->created = created;
  return HoldOpened(fd, native, LOCK_EX, out, again);
}

// Opens a regular file for reading; -1 for anything else. O_NONBLOCK keeps
// the open of a FIFO without a writer (or of a device) from waiting for ever;
// it is cleared again for the reads. errno is ENXIO for a file that is not
// regular, EISDIR for a directory.
int OpenRegularForReading(const std::string& native) {
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int why = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
    ::close(fd);
    errno = why;
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

namespace detail {

void PauseMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

WriterOpenStatus TryOpenWriter(const char16_t* path, WriterOpen* out) {
  std::string native;
  if (!ToNative(path, &native)) {
    out->system_error = EINVAL;
    return WriterOpenStatus::kFailed;
  }
  bool again = false;
  const WriterOpenStatus status = TryOpenNative(native, out, &again);
  // A name that changed under the open is tried again, as a held one is.
  return again ? WriterOpenStatus::kInUse : status;
}

WriterOpenStatus TryOpenReader(const char16_t* path, WriterOpen* out) {
  std::string native;
  if (!ToNative(path, &native)) {
    out->system_error = EINVAL;
    return WriterOpenStatus::kFailed;
  }
  const int fd = OpenRegularForReading(native);
  if (fd < 0) {
    out->system_error = static_cast<uint32_t>(errno);
    return errno == EISDIR || errno == ENXIO ? WriterOpenStatus::kNotRegular
                                             : WriterOpenStatus::kFailed;
  }
  // Shared with other readers, exclusive of the writer's lock; a name that
  // changed under the open is tried again, as a held one is.
  bool again = false;
  const WriterOpenStatus status = HoldOpened(fd, native, LOCK_SH, out, &again);
  return again ? WriterOpenStatus::kInUse : status;
}

}  // namespace detail

bool ResolvedPath(File* file, const char16_t* path, char16_t* out, size_t units) {
  (void)file;
  if (path == nullptr || out == nullptr || units == 0) return false;
  std::u16string resolved;
  std::string native;
  if (ToNative(path, &native)) {
    if (char* real = ::realpath(native.c_str(), nullptr)) {
      try {
        resolved = Utf8ToU16(real);
      } catch (...) {
        resolved.clear();
      }
      ::free(real);
    }
  }
  const std::u16string_view chosen = resolved.empty() ? std::u16string_view(path) : resolved;
  if (chosen.size() + 1 > units) return false;
  chosen.copy(out, chosen.size());
  out[chosen.size()] = 0;
  return true;
}

bool RemoveHeldContainer(File* file, const char16_t* path) {
  (void)file;  // the lock on it stays until the caller closes it
  std::string native;
  if (!ToNative(path, &native)) return false;
  if (::unlink(native.c_str()) != 0) return errno == ENOENT;
  SyncParentFolder(native);
  return true;
}

std::unique_ptr<File> OpenContainerFile(const char16_t* path) {
  std::string native;
  if (!ToNative(path, &native)) return nullptr;
  return Wrap(::open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
}

std::unique_ptr<File> OpenFileForReading(const char16_t* path) {
  std::string native;
  if (!ToNative(path, &native)) return nullptr;
  const int fd = OpenRegularForReading(native);
  return fd >= 0 ? Wrap(fd) : nullptr;
}

// The journal's creation and deletion are what a stream write relies on, so
// the folder's entry is forced to the disk as well: without it a power loss
// could lose a flushed journal's name, or bring a deleted one back.
void SyncParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  while (::fsync(fd) != 0 && errno == EINTR) {
  }
  ::close(fd);
}

std::unique_ptr<File> CreateEmptyFile(const char16_t* path) {
  std::string native;
  if (!ToNative(path, &native)) return nullptr;
  const int fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) SyncParentFolder(native);
  return Wrap(fd);
}

bool RemoveFile(const char16_t* path) {
  std::string native;
  if (!ToNative(path, &native)) return false;
  if (::unlink(native.c_str()) != 0) return errno == ENOENT;
  SyncParentFolder(native);
  return true;
}

bool FileExists(const char16_t* path) {
  std::string native;
  if (!ToNative(path, &native)) return false;
  struct stat st {};
  return ::stat(native.c_str(), &st) == 0;
}

bool MappedFile::Open(const char16_t* path) {
  reset();
  std::string native;
  if (!ToNative(path, &native)) return false;
  const int fd = OpenRegularForReading(native);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  const auto len = static_cast<size_t>(st.st_size);
  if (len == 0) {
    ::close(fd);
    return true;
  }
  void* addr = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (addr == MAP_FAILED) return false;
  auto* m = new (std::nothrow) Mapping{addr, len};
  if (m == nullptr) {
    ::munmap(addr, len);
    return false;
  }
  os_ = m;
  data_ = static_cast<const uint8_t*>(addr);
  size_ = static_cast<uint32_t>(len);
  return true;
}

void MappedFile::reset() {
  if (os_ != nullptr) {
    auto* m = static_cast<Mapping*>(os_);
    ::munmap(m->addr, m->len);
    delete m;
  }
  os_ = nullptr;
  data_ = nullptr;
  size_ = 0;
}

}  // namespace tl::platform
