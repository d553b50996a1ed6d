// What trustctl needs to know about a path before it trusts it with a list:
// what kind of file it names, which file it is (two names of one file compare
// equal), the system's reason when it cannot be opened, and a way to write a
// file that is not a container without ever leaving it half written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tl::platform {

enum class PathKind : uint8_t {
  kMissing,    // nothing of that name (the last component)
  kRegular,    // a regular file (links followed)
  kDirectory,  // a directory
  kOther,      // a FIFO, a device, a socket, a terminal
  kUnknown,    // the system could not say (PathInfo::error says why)
};

struct PathInfo {
  PathKind kind = PathKind::kUnknown;
  uint32_t error = 0;  // the system's error code when kind is kUnknown or kMissing
  // The file's identity: the same pair for every name (hard or symbolic link,
  // relative or absolute, other case on Windows) of one file.
  uint64_t volume = 0;
  uint64_t file = 0;
  bool same_file(const PathInfo& o) const {
    return (kind == PathKind::kRegular || kind == PathKind::kOther) && o.kind == kind &&
           volume == o.volume && file == o.file;
  }
};

// Examines `path`, following links. Never opens a FIFO or a device for data.
PathInfo ExaminePath(const char16_t* path);

// The system's error code for opening `path` for reading, 0 when it opens
// (the file is closed again at once; a FIFO or device is not waited for).
uint32_t OpenForReadingError(const char16_t* path);

// A file that is not a container (an export, a report), written so that a
// failure never leaves it truncated or half written: when the target is a
// regular file or missing, the bytes go to a new file beside it, which is
// flushed and then renamed over the target (keeping an existing target's
// permissions on POSIX). A FIFO, a device or a terminal is written directly,
// never replaced. Without Commit, the new file is removed and the target is as
// it was.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile();

  // False with *error (the system's code) when the file cannot be made.
  bool Open(const char16_t* target, uint32_t* error);
  bool Write(const void* data, size_t len, uint32_t* error);
  // Flushes, closes and renames. False with *error; the target is then unchanged.
  bool Commit(uint32_t* error);

 private:
  void Abandon();
  intptr_t handle_ = -1;
  bool direct_ = false;    // writing the target itself (not a regular file)
  void* names_ = nullptr;  // the backend's paths of the target and the new file
};

}  // namespace tl::platform
