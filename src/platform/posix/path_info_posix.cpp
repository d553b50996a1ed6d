// POSIX backend of path examination and file replacement (see path_info.h).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>

#include "common/u16.h"
#include "platform/path_info.h"

namespace tl::platform {
namespace {

struct Names {
  std::string target;
  std::string temp;
};

PathInfo FromStat(const struct stat& st) {
  PathInfo info;
  info.kind = S_ISREG(st.st_mode)   ? PathKind::kRegular
              : S_ISDIR(st.st_mode) ? PathKind::kDirectory
                                    : PathKind::kOther;
  info.volume = static_cast<uint64_t>(st.st_dev);
  info.file = static_cast<uint64_t>(st.st_ino);
  return info;
}

}  // namespace

PathInfo ExaminePath(const char16_t* path) {
  PathInfo info;
  const std::string native = U16ToUtf8(path);
  if (native.empty()) {
    info.kind = PathKind::kMissing;
    info.error = ENOENT;
    return info;
  }
  struct stat st {};
  if (::stat(native.c_str(), &st) != 0) {
    info.error = static_cast<uint32_t>(errno);
    info.kind = info.error == ENOENT ? PathKind::kMissing : PathKind::kUnknown;
    return info;
  }
  return FromStat(st);
}

uint32_t OpenForReadingError(const char16_t* path) {
  const std::string native = U16ToUtf8(path);
  if (native.empty()) return ENOENT;
  // O_NONBLOCK: opening a FIFO without a writer must not wait for one.
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return static_cast<uint32_t>(errno);
  struct stat st {};
  const bool dir = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  ::close(fd);
  return dir ? EISDIR : 0;
}

ReplacementFile::~ReplacementFile() { Abandon(); }

void ReplacementFile::Abandon() {
  auto* names = static_cast<Names*>(names_);
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  if (names != nullptr && !direct_ && handle_ >= 0) ::unlink(names->temp.c_str());
  handle_ = -1;
  delete names;
  names_ = nullptr;
}

bool ReplacementFile::Open(const char16_t* target, uint32_t* error) {
  Abandon();
  auto* names = new (std::nothrow) Names;
  if (names == nullptr) {
    *error = ENOMEM;
    return false;
  }
  names_ = names;
  names->target = U16ToUtf8(target);
  struct stat st {};
  const bool exists = ::stat(names->target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }
  if (exists && S_ISDIR(st.st_mode)) {
    *error = EISDIR;
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    direct_ = true;
    const int fd = ::open(names->target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = static_cast<uint32_t>(errno);
      return false;
    }
    handle_ = fd;
    return true;
  }
  // A name of the process's own beside the target, so the rename stays on
  // one file system and two writers never share a new file.
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    names->temp =
        names->target + ".trustctl-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    const int fd = ::open(names->temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      *error = static_cast<uint32_t>(errno);
      return false;
    }
    handle_ = fd;
    if (exists) (void)::fchmod(fd, st.st_mode & 07777);
    return true;
  }
  *error = EEXIST;
  return false;
}

bool ReplacementFile::Write(const void* data, size_t len, uint32_t* error) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    const ssize_t n = ::write(static_cast<int>(handle_), p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? static_cast<uint32_t>(errno) : EIO;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool ReplacementFile::Commit(uint32_t* error) {
  auto* names = static_cast<Names*>(names_);
  const int fd = static_cast<int>(handle_);
  if (direct_) {
    handle_ = -1;
    if (::close(fd) != 0) {
      *error = static_cast<uint32_t>(errno);
      return false;
    }
    return true;
  }
  int rc = 0;
  while ((rc = ::fsync(fd)) != 0 && errno == EINTR) {
  }
  if (rc != 0 || ::close(fd) != 0) {
    *error = static_cast<uint32_t>(errno);
    handle_ = -1;
    ::unlink(names->temp.c_str());
    return false;
  }
  handle_ = -1;
  if (::rename(names->temp.c_str(), names->target.c_str()) != 0) {
    *error = static_cast<uint32_t>(errno);
    ::unlink(names->temp.c_str());
    return false;
  }
  return true;
}

}  // namespace tl::platform
