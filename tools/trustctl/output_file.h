// Where a command's document goes: standard output for "-", else the named
// file, written only once the whole document is made (a command that fails
// writes nothing).
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "command.h"
#include "common/u16.h"
#include "format.h"

namespace tl::ctl {

inline bool WriteOutput(const std::string& arg, const std::string& text, Io& io,
                        std::string* error) {
  if (arg == "-") {
    io.out << text;
    return true;
  }
  const std::u16string path = Utf8ToU16(arg);
  std::ofstream f(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  if (f) f.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (f) f.close();
  if (!f) {
    *error = PrintablePath(path) + ": cannot be written";
    return false;
  }
  return true;
}

}  // namespace tl::ctl
