// A platform::File wrapper that injects faults into a real file: the n-th read,
// write or flush fails, or every write after the n-th is dropped while reported
// as done, as a process that died would leave the file. The counters live in a
// plan the test keeps, so they stay readable after the wrapped file is closed.
#pragma once

#include <cstdint>
#include <memory>

#include "minifile/journal.h"
#include "platform/file.h"

namespace tl::test {

struct FaultPlan {
  static constexpr uint32_t kNever = 0;
  // 1-based call numbers that fail (nothing done, false returned); kNever = none.
  uint32_t fail_read_at = kNever;
  uint32_t fail_write_at = kNever;
  uint32_t fail_flush_at = kNever;
  // Writes after this many are dropped; UINT32_MAX = none.
  uint32_t drop_writes_after = UINT32_MAX;
  // Calls seen so far.
  uint32_t reads = 0;
  uint32_t writes = 0;
  uint32_t flushes = 0;
  uint32_t dropped = 0;
};

class FaultFile final : public platform::File {
 public:
  FaultFile(std::unique_ptr<platform::File> inner, FaultPlan* plan)
      : inner_(std::move(inner)), plan_(plan) {}

  bool ReadAt(uint32_t offset, void* buf, uint32_t len, uint32_t* done) override;
  bool WriteAt(uint32_t offset, const void* buf, uint32_t len, uint32_t* done) override;
  bool Size(uint32_t* size) override { return inner_->Size(size); }
  bool Flush() override;

 private:
  std::unique_ptr<platform::File> inner_;
  FaultPlan* plan_;
};

// A journal site whose files are wrapped with the same plan, so that the
// journal's reads, writes and flushes count (and fail, or are dropped) in one
// sequence with the container's. Its deletion counts as one write: a crash
// before it leaves the journal in place. `inner` must outlive the site.
class FaultJournalSite final : public JournalSite {
 public:
  FaultJournalSite(JournalSite* inner, FaultPlan* plan) : inner_(inner), plan_(plan) {}
  std::unique_ptr<platform::File> Create() override;
  std::unique_ptr<platform::File> Open() override;
  bool Exists() override { return inner_->Exists(); }
  bool Remove() override;

 private:
  JournalSite* inner_;
  FaultPlan* plan_;
};

// A file that forwards to `target` without owning it, so a test can hand a
// file to an owner that closes it and still read the file afterwards.
std::unique_ptr<platform::File> Borrow(platform::File* target);

// Convenience: a FaultFile over `inner`.
std::unique_ptr<platform::File> WrapFaults(std::unique_ptr<platform::File> inner, FaultPlan* plan);

}  // namespace tl::test
