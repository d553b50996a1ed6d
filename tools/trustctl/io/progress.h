// A progress line on the error stream for long runs, shown only when that
// stream is a terminal (Io::progress) and never when it is redirected, so
// logs and captured output never hold it. Redrawn every `every` steps and at
// the end, and only for runs of at least `min_total` steps.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "io/io.h"

namespace tl::ctl {

class Progress {
 public:
  Progress(Io& io, std::string verb, size_t total, size_t every = 1000, size_t min_total = 2000)
      : io_(io), verb_(std::move(verb)), total_(total), every_(every), min_total_(min_total) {}
  ~Progress() { Clear(); }
  // `done` of the total are finished.
  void Step(size_t done) {
    if (!io_.progress || total_ < min_total_ || (done - last_ < every_ && done != total_)) return;
    last_ = done;
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
  Io& io_;
  std::string verb_;
  size_t total_;
  size_t every_;
  size_t min_total_;
  size_t last_ = 0;
  bool shown_ = false;
};

}  // namespace tl::ctl
