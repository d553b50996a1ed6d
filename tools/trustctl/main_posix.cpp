// trustctl on POSIX: arguments arrive as bytes, taken to be UTF-8.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "trustctl.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const int rc = tl::ctl::RunTrustctl(args, std::cout, std::cerr, isatty(2) == 1);
  std::cout.flush();
  return std::cout.good() ? rc : tl::ctl::kExitFailure;
}
