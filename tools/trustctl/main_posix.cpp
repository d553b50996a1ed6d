// trustctl on POSIX: arguments arrive as bytes, taken to be UTF-8.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "io/output_file.h"
#include "trustctl.h"

int main(int argc, char** argv) {
  // Standard output is written through its own buffer, in large pieces.
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  const int rc = tl::ctl::RunTrustctl(args, std::cout, std::cerr, isatty(2) == 1);
  return tl::ctl::StandardOutputWritten(std::cout, std::cerr) ? rc : tl::ctl::kExitFailure;
}
