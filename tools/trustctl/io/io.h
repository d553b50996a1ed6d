// What every command and every service under it writes to: the output and
// error streams and how much the user asked to see. The command line fills
// it once (commands/cli.cpp); the layers below only read it.
#pragma once

#include <ostream>
#include <string>

namespace tl::ctl {

struct Io {
  std::ostream& out;
  std::ostream& err;
  bool quiet = false;  // -q: only errors and the summary
  // Progress may be shown on the error stream: it is a terminal.
  bool progress = false;
  // A command that wrote a stream tells the running product (io/notify.h);
  // --no-notify turns it off.
  bool notify = true;
};

// "trustctl: <message>" on the error stream (messages name the file first).
void Complain(Io& io, const std::string& message);

}  // namespace tl::ctl
