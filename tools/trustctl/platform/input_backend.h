// What each platform provides to the tool's input (io/input_file.h), to the
// tree walks and to path checks (posix/, win32/): opening a path for reading
// in binary mode, standard input in binary mode, 64-bit positioning, and the
// size of an open regular file (-1 for anything else).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace tl::ctl::input_backend {

// A path as the file system library takes it, and back. On POSIX the bytes of
// the name are kept as they are (a name that is not UTF-8 stays the same name);
// on Windows the UTF-16 units.
std::filesystem::path NativePath(const std::u16string& path);
std::u16string PathText(const std::filesystem::path& path);
std::FILE* OpenForReading(const std::u16string& path);
std::FILE* StandardInput();
bool Seek(std::FILE* f, int64_t offset);
int64_t RegularFileSize(std::FILE* f);

}  // namespace tl::ctl::input_backend
