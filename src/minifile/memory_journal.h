// A journal site kept in memory, beside a MemoryFile container: the fuzzers,
// the benchmarks and the tests use it where no file system is wanted.
#pragma once

#include <memory>

#include "minifile/journal.h"
#include "minifile/memory_file.h"

namespace tl {

class MemoryJournalSite final : public JournalSite {
 public:
  std::unique_ptr<platform::File> Create() override;
  std::unique_ptr<platform::File> Open() override;
  bool Exists() override { return file_ != nullptr; }
  bool Remove() override {
    file_.reset();
    return true;
  }
  // The journal's bytes while one exists, else null.
  MemoryFile* file() const { return file_.get(); }
  // Puts a journal of these bytes in place (tests plant journals so).
  bool Plant(const void* data, size_t size);

 private:
  std::unique_ptr<MemoryFile> file_;
};

}  // namespace tl
