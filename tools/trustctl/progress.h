// A progress line on the error stream for long runs, shown only when that
// stream is a terminal (Io::progress) and never when it is redirected, so
// logs and captured output never hold it. Redrawn at most every 1,000 steps.
#pragma once

#include <cstddef>
#include <string>

#include "command.h"

namespace tl::ctl {

class Progress {
 public:
  Progress(Io& io, std::string verb, size_t total)
      : io_(io), verb_(std::move(verb)), total_(total) {}
  ~Progress() { Clear(); }
  // `done` of the total are finished.
  void Step(size_t done) {
    if (!io_.progress || total_ < kMinTotal || (done % kEvery != 0 && done != total_)) return;
    io_.err << "\r" << verb_ << " " << done << " of " << total_ << std::flush;
    shown_ = true;
  }
  // Removes the line, so that a message can be written in its place.
  void Clear() {
    if (!shown_) return;
    io_.err << "\r\x1b[K" << std::flush;
    shown_ = false;
  }

 private:
  static constexpr size_t kEvery = 1000;
  static constexpr size_t kMinTotal = 2000;
  Io& io_;
  std::string verb_;
  size_t total_;
  bool shown_ = false;
};

}  // namespace tl::ctl
