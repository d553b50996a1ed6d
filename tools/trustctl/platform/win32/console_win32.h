// trustctl.exe's output: UTF-16 through WriteConsoleW where a stream is a
// console, so that every character shows as written whatever the console's
// code page; the UTF-8 bytes as they are where it is a file or a pipe (what a
// script or a configuration engine reads).
#pragma once

#include <windows.h>

#include <memory>
#include <ostream>
#include <streambuf>

namespace tl::ctl {

// A stream buffer writing to console `handle` as UTF-16; null when `handle`
// is no console (GetConsoleMode fails), which is then written as bytes.
std::unique_ptr<std::streambuf> ConsoleBufferFor(HANDLE handle);

// For its lifetime, `stream` writes to the console `handle` through
// ConsoleBufferFor when it is one; otherwise nothing changes.
class ConsoleRoute {
 public:
  ConsoleRoute(std::ostream& stream, HANDLE handle);
  ~ConsoleRoute();
  ConsoleRoute(const ConsoleRoute&) = delete;
  ConsoleRoute& operator=(const ConsoleRoute&) = delete;

 private:
  std::ostream& stream_;
  std::unique_ptr<std::streambuf> buffer_;
  std::streambuf* previous_ = nullptr;
};

}  // namespace tl::ctl
