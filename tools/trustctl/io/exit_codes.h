// The exit codes of trustctl's commands, which every layer that ends a
// command may return.
#pragma once

namespace tl::ctl {

// Exit codes of every subcommand (also listed by `trustctl --help`).
enum ExitCode : int {
  kExitOk = 0,        // done; verify: sound; diff: no differences
  kExitFindings = 1,  // verify: defects found; diff: differences; remove: a name absent
  kExitFailure = 2,   // a file cannot be read or written, or the input cannot be used
  kExitUsage = 3,     // the command line is wrong
  kExitBlocked = 4,   // test: a file is blocked (no other condition of any command gives 4)
};

}  // namespace tl::ctl
