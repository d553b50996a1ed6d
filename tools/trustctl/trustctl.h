// trustctl: look at, check, compare and prepare the trust list containers.
// The command implementations write to the streams they are given, so tests
// run them with captured output; main only converts the command line.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "io/exit_codes.h"

namespace tl::ctl {

// Runs one trustctl command line (`args` without the program name, UTF-8).
// Normal output goes to `out`, messages about problems to `err`; progress is
// shown on `err` only when `err_is_terminal`. Never throws.
int RunTrustctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool err_is_terminal = false);

}  // namespace tl::ctl
