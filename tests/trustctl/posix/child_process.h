// trustctl run as a process of its own (the tests of killing it and of
// several writers at once), its output thrown away.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tl::test {

// Starts trustctl with `args`; its pid.
inline pid_t StartTrustctl(const std::vector<std::string>& args) {
  std::vector<std::string> copy = args;
  std::string program = TL_TRUSTCTL_PATH;
  std::vector<char*> argv;
  argv.push_back(program.data());
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
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
