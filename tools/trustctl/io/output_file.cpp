#include "io/output_file.h"

#include <cerrno>
#include <ostream>

#include "common/u16.h"
#include "io/format.h"
#include "platform/system.h"

namespace tl::ctl {
namespace {

constexpr size_t kPiece = size_t{1} << 20;

}  // namespace

bool Output::Open(const std::string& arg, Io& io, std::string* error) {
  io_ = &io;
  to_stdout_ = arg == "-";
  shown_ = to_stdout_ ? "standard output" : PrintablePath(Utf8ToU16(arg));
  buffer_.reserve(kPiece + 4096);
  if (to_stdout_) return true;
  uint32_t code = 0;
  const std::u16string path = Utf8ToU16(arg);
  if (!file_.Open(path.c_str(), &code)) {
    *error = shown_ + ": cannot be written: " + platform::SystemErrorText(code);
    return false;
  }
  return true;
}

void Output::Write(std::string_view text) {
  buffer_ += text;
  if (buffer_.size() >= kPiece) Flush();
}

bool Output::Flush() {
  if (failed_) {
    buffer_.clear();
    return false;
  }
  if (to_stdout_) {
    errno = 0;
    io_->out.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    if (!io_->out) {
      failed_ = true;
      failure_ = static_cast<uint32_t>(errno);
    }
  } else if (!buffer_.empty() && !file_.Write(buffer_.data(), buffer_.size(), &failure_)) {
    failed_ = true;
  }
  buffer_.clear();
  return !failed_;
}

bool Output::Commit(std::string* error) {
  bool ok = Flush();
  if (ok && to_stdout_) {
    io_->out.flush();
    if (!io_->out) {
      failure_ = static_cast<uint32_t>(errno);
      ok = false;
    }
  } else if (ok) {
    ok = file_.Commit(&failure_);
  }
  if (!ok) {
    *error = shown_ + ": write error" +
             (failure_ != 0 ? ": " + platform::SystemErrorText(failure_) : std::string()) +
             (to_stdout_ ? "" : "; the file is unchanged");
  }
  return ok;
}

bool StandardOutputWritten(std::ostream& out, std::ostream& err) {
  errno = 0;
  out.flush();
  if (out.good()) return true;
  const int code = errno;
  err << "trustctl: standard output: write error"
      << (code != 0 ? ": " + platform::SystemErrorText(static_cast<uint32_t>(code)) : "") << "\n";
  return false;
}

}  // namespace tl::ctl
