// trustctl run as a process of its own (the tests of killing it, of several
// writers at once, and of the states a crash leaves), its output thrown away
// or kept in files.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace tl::test {

// Where a started trustctl writes, and what its environment holds besides ours.
struct ChildSetup {
  std::string out = "/dev/null";
  std::string err = "/dev/null";
  std::vector<std::pair<std::string, std::string>> env;  // name, value
  // Run as the unprivileged user "nobody" (65534) when we are root, so that
  // file modes bind it as they bind everyone else.
  bool unprivileged = false;
};

// Starts trustctl with `args`; its pid.
inline pid_t StartTrustctl(const std::vector<std::string>& args,
                           const ChildSetup& setup = ChildSetup()) {
  std::vector<std::string> copy = args;
  std::string program = TL_TRUSTCTL_PATH;
  std::vector<char*> argv;
  argv.push_back(program.data());
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (std::freopen(setup.out.c_str(), "w", stdout) == nullptr ||
        std::freopen(setup.err.c_str(), "w", stderr) == nullptr) {
      _exit(127);
    }
    if (setup.unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(127);
    }
    for (const auto& [name, value] : setup.env) setenv(name.c_str(), value.c_str(), 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for `pid`; its exit code, or -1 when it did not exit normally.
inline int WaitExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tl::test
