// A platform::File kept in memory: the fuzzers and the reader's byte-buffer
// entry use it. Writes grow it (zero-filled gaps) up to 2 GiB; reads past the
// end deliver fewer bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/file.h"

namespace tl {

class MemoryFile final : public platform::File {
 public:
  MemoryFile() = default;
  ~MemoryFile() override;
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // A file holding a copy of `size` bytes; null when the memory cannot be had
  // or `size` is 2 GiB or more.
  static std::unique_ptr<MemoryFile> FromBytes(const void* data, size_t size);

  // A file holding everything `file` holds, read from its start to its end;
  // null when it cannot be read or the memory cannot be had.
  static std::unique_ptr<MemoryFile> ReadWhole(platform::File* file);

  bool ReadAt(uint32_t offset, void* buf, uint32_t len, uint32_t* done) override;
  bool WriteAt(uint32_t offset, const void* buf, uint32_t len, uint32_t* done) override;
  bool Size(uint32_t* size) override;
  bool Flush() override { return true; }
  const uint8_t* HeldBytes(uint32_t* size) const override {
    *size = size_;
    return data_;
  }

  const uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }

 private:
  bool Reserve(uint64_t capacity);

  uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
  uint64_t capacity_ = 0;
};

}  // namespace tl
