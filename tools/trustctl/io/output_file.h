// Where a command's document goes: standard output for "-", else the named
// file. A named regular file is written beside itself and renamed over itself
// only once the whole document is written, so a command that fails, or a
// write that fails, leaves it as it was; a FIFO, a device or a terminal is
// written directly. The document is handed over in pieces, so that a big list
// never has to be held as text.
#pragma once

#include <string>
#include <string_view>

#include "io/io.h"
#include "platform/path_info.h"

namespace tl::ctl {

class Output {
 public:
  // "-" is standard output; anything else a file. False with *error (the
  // system's reason) when the file cannot be made.
  bool Open(const std::string& arg, Io& io, std::string* error);

  // Queues text; written in large pieces.
  void Write(std::string_view text);
  Output& operator<<(std::string_view text) {
    Write(text);
    return *this;
  }

  // Writes what is queued and finishes the file (renamed over its target).
  // False with *error when any write failed; a named file is then unchanged.
  bool Commit(std::string* error);

 private:
  bool Flush();
  Io* io_ = nullptr;
  bool to_stdout_ = true;
  std::string shown_;
  std::string buffer_;
  platform::ReplacementFile file_;
  uint32_t failure_ = 0;  // the system's code of the first failed write
  bool failed_ = false;
};

// Reports a failed write to standard output with the system's reason. Called
// once a command is done; false when output was lost.
bool StandardOutputWritten(std::ostream& out, std::ostream& err);

}  // namespace tl::ctl
