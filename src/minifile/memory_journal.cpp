#include "minifile/memory_journal.h"

#include <new>

namespace tl {

std::unique_ptr<platform::File> MemoryJournalSite::Create() {
  file_.reset(new (std::nothrow) MemoryFile());
  if (!file_) return nullptr;
  return platform::BorrowFile(file_.get());
}

std::unique_ptr<platform::File> MemoryJournalSite::Open() {
  if (!file_) return nullptr;
  return platform::BorrowFile(file_.get());
}

bool MemoryJournalSite::Plant(const void* data, size_t size) {
  file_ = MemoryFile::FromBytes(data, size);
  return file_ != nullptr;
}

}  // namespace tl
