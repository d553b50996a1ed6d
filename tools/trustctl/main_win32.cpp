// trustctl on Windows: the wide command line converted to UTF-8, so paths in
// any script reach the commands (which convert them back to UTF-16) unchanged.
// Output is UTF-16 on a console (WriteConsoleW) and UTF-8 bytes to a file or
// a pipe.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "common/u16.h"
#include "io/output_file.h"
#include "platform/win32/console_win32.h"
#include "trustctl.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    args.push_back(tl::U16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  // Binary mode: lines end with "\n" as on every other platform, so output can
  // be compared and fed back to the tool byte for byte.
  _setmode(_fileno(stdout), _O_BINARY);
  int rc = 0;
  bool written = false;
  {
    const tl::ctl::ConsoleRoute out(std::cout, GetStdHandle(STD_OUTPUT_HANDLE));
    const tl::ctl::ConsoleRoute err(std::cerr, GetStdHandle(STD_ERROR_HANDLE));
    rc = tl::ctl::RunTrustctl(args, std::cout, std::cerr, _isatty(_fileno(stderr)) != 0);
    written = tl::ctl::StandardOutputWritten(std::cout, std::cerr);
  }
  return written ? rc : tl::ctl::kExitFailure;
}
