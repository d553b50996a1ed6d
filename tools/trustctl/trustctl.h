// trustctl: look at, check, compare and prepare the trust list containers.
// The command implementations write to the streams they are given, so tests
// run them with captured output; main only converts the command line.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tl::ctl {

// Exit codes of every subcommand (also listed by `trustctl --help`).
enum ExitCode : int {
  kExitOk = 0,        // done; verify: sound; diff: no differences
  kExitFindings = 1,  // verify: defects found; diff: differences; remove: a name absent
  kExitFailure = 2,   // a file cannot be read or written, or the input cannot be used
  kExitUsage = 3,     // the command line is wrong
  kExitBlocked = 3,   // test: a file is blocked (test has no other use of 3 once it runs)
};

// Runs one trustctl command line (`args` without the program name, UTF-8).
// Normal output goes to `out`, messages about problems to `err`; progress is
// shown on `err` only when `err_is_terminal`. Never throws.
int RunTrustctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool err_is_terminal = false);

}  // namespace tl::ctl
