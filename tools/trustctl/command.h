// What every subcommand receives, and the subcommands themselves.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tl::ctl {

struct Io {
  std::ostream& out;
  std::ostream& err;
};

// Each takes the arguments after its own name and returns an ExitCode.
int RunHash(const std::vector<std::string>& args, Io& io);
int RunDump(const std::vector<std::string>& args, Io& io);
int RunVerify(const std::vector<std::string>& args, Io& io);
int RunImport(const std::vector<std::string>& args, Io& io);
int RunAdd(const std::vector<std::string>& args, Io& io);
int RunRemove(const std::vector<std::string>& args, Io& io);
int RunDiff(const std::vector<std::string>& args, Io& io);

// "trustctl: <message>" on the error stream (messages name the file first).
void Complain(Io& io, const std::string& message);

}  // namespace tl::ctl
