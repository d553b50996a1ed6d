#include "support/fault_file.h"

namespace tl::test {

bool FaultFile::ReadAt(uint32_t offset, void* buf, uint32_t len, uint32_t* done) {
  *done = 0;
  if (++plan_->reads == plan_->fail_read_at) return false;
  return inner_->ReadAt(offset, buf, len, done);
}

bool FaultFile::WriteAt(uint32_t offset, const void* buf, uint32_t len, uint32_t* done) {
  *done = 0;
  const uint32_t n = ++plan_->writes;
  if (n == plan_->fail_write_at) return false;
  if (n > plan_->drop_writes_after) {
    ++plan_->dropped;
    *done = len;
    return true;
  }
  return inner_->WriteAt(offset, buf, len, done);
}

bool FaultFile::Flush() {
  if (++plan_->flushes == plan_->fail_flush_at) return false;
  return inner_->Flush();
}

std::unique_ptr<platform::File> Borrow(platform::File* target) {
  return platform::BorrowFile(target);
}

std::unique_ptr<platform::File> WrapFaults(std::unique_ptr<platform::File> inner, FaultPlan* plan) {
  if (!inner) return nullptr;
  return std::make_unique<FaultFile>(std::move(inner), plan);
}

std::unique_ptr<platform::File> FaultJournalSite::Create() {
  return WrapFaults(inner_->Create(), plan_);
}

std::unique_ptr<platform::File> FaultJournalSite::Open() {
  return WrapFaults(inner_->Open(), plan_);
}

bool FaultJournalSite::Remove() {
  const uint32_t n = ++plan_->writes;
  if (n == plan_->fail_write_at) return false;
  if (n > plan_->drop_writes_after) {
    ++plan_->dropped;
    return true;
  }
  return inner_->Remove();
}

}  // namespace tl::test
