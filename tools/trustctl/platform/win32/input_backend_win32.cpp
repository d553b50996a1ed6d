// Inputs on Windows: wide paths, binary mode (no CRLF translation, no end at a
// ^Z byte), 64-bit offsets.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>

#include "platform/input_backend.h"

namespace tl::ctl::input_backend {

std::filesystem::path NativePath(const std::u16string& path) {
  return std::filesystem::path(std::wstring(path.begin(), path.end()));
}

std::u16string PathText(const std::filesystem::path& path) {
  const std::wstring& w = path.native();
  return std::u16string(w.begin(), w.end());
}

std::FILE* OpenForReading(const std::u16string& path) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  if (path.empty()) return nullptr;
  return _wfopen(reinterpret_cast<const wchar_t*>(path.c_str()), L"rb");
}

std::FILE* StandardInput() {
  _setmode(_fileno(stdin), _O_BINARY);
  return stdin;
}

bool Seek(std::FILE* f, int64_t offset) { return _fseeki64(f, offset, SEEK_SET) == 0; }

int64_t RegularFileSize(std::FILE* f) {
  struct _stat64 st {};
  if (_fstat64(_fileno(f), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return -1;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace tl::ctl::input_backend
