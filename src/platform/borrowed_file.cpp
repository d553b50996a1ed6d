// BorrowFile: forwards every call to a file that someone else owns.
#include <new>

#include "platform/file.h"

namespace tl::platform {
namespace {

class BorrowedFile final : public File {
 public:
  explicit BorrowedFile(File* target) : target_(target) {}
  bool ReadAt(uint32_t offset, void* buf, uint32_t len, uint32_t* done) override {
    return target_->ReadAt(offset, buf, len, done);
  }
  bool WriteAt(uint32_t offset, const void* buf, uint32_t len, uint32_t* done) override {
    return target_->WriteAt(offset, buf, len, done);
  }
  bool Size(uint32_t* size) override { return target_->Size(size); }
  bool Flush() override { return target_->Flush(); }

 private:
  File* target_;
};

}  // namespace

std::unique_ptr<File> BorrowFile(File* target) {
  return std::unique_ptr<File>(new (std::nothrow) BorrowedFile(target));
}

}  // namespace tl::platform
