// Inputs on POSIX: UTF-8 paths, 64-bit offsets.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "common/u16.h"
#include "platform/input_backend.h"

namespace tl::ctl::input_backend {

std::filesystem::path NativePath(const std::u16string& path) {
  return std::filesystem::path(U16ToUtf8(path));
}

std::u16string PathText(const std::filesystem::path& path) { return Utf8ToU16(path.native()); }

std::FILE* OpenForReading(const std::u16string& path) {
  const std::string native = U16ToUtf8(path);
  if (native.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  return std::fopen(native.c_str(), "rb");
}

std::FILE* StandardInput() { return stdin; }

bool Seek(std::FILE* f, int64_t offset) {
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

int64_t RegularFileSize(std::FILE* f) {
  struct stat st {};
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace tl::ctl::input_backend
