// trustctl on Windows: the wide command line converted to UTF-8, so paths in
// any script reach the commands (which convert them back to UTF-16) unchanged.
// Output is written as UTF-8 bytes.
#include <fcntl.h>
#include <io.h>

#include <iostream>
#include <string>
#include <vector>

#include "common/u16.h"
#include "output_file.h"
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
  const int rc = tl::ctl::RunTrustctl(args, std::cout, std::cerr, _isatty(_fileno(stderr)) != 0);
  return tl::ctl::StandardOutputWritten(std::cout, std::cerr) ? rc : tl::ctl::kExitFailure;
}
