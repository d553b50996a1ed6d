#include "minifile/memory_file.h"

#include <cstring>
#include <new>

#include "common/zalloc.h"
#include "minifile/header.h"

namespace tl {

MemoryFile::~MemoryFile() { ZeroFree(data_); }

std::unique_ptr<MemoryFile> MemoryFile::FromBytes(const void* data, size_t size) {
  if (size >= kMaxContainerEnd) return nullptr;
  std::unique_ptr<MemoryFile> f(new (std::nothrow) MemoryFile());
  if (!f || !f->Reserve(size)) return nullptr;
  if (size != 0) std::memcpy(f->data_, data, size);
  f->size_ = static_cast<uint32_t>(size);
  return f;
}

std::unique_ptr<MemoryFile> MemoryFile::ReadWhole(platform::File* file) {
  uint32_t size = 0;
  if (file == nullptr || !file->Size(&size) || size >= kMaxContainerEnd) return nullptr;
  std::unique_ptr<MemoryFile> f(new (std::nothrow) MemoryFile());
  if (!f || !f->Reserve(size)) return nullptr;
  // The size is the file's when the read began; a file that grew meanwhile is
  // read as far as that size.
  constexpr uint32_t kPiece = 1u << 20;
  while (f->size_ < size) {
    const uint32_t want = size - f->size_ < kPiece ? size - f->size_ : kPiece;
    uint32_t done = 0;
    if (!file->ReadAt(f->size_, f->data_ + f->size_, want, &done)) return nullptr;
    if (done == 0) break;  // it shrank: what was there is what it holds
    f->size_ += done;
  }
  return f;
}

bool MemoryFile::Reserve(uint64_t capacity) {
  if (capacity <= capacity_ && data_ != nullptr) return true;
  uint64_t grown = capacity_ * 2;
  if (grown < capacity) grown = capacity;
  if (grown > kMaxContainerEnd) grown = kMaxContainerEnd;
  if (grown < capacity) return false;
  auto* p = static_cast<uint8_t*>(ZeroAlloc(static_cast<size_t>(grown)));
  if (p == nullptr) return false;
  if (data_ != nullptr && size_ != 0) std::memcpy(p, data_, size_);
  ZeroFree(data_);
  data_ = p;
  capacity_ = grown;
  return true;
}

bool MemoryFile::ReadAt(uint32_t offset, void* buf, uint32_t len, uint32_t* done) {
  *done = 0;
  if (offset >= size_) return true;
  const uint32_t n = (size_ - offset < len) ? size_ - offset : len;
  std::memcpy(buf, data_ + offset, n);
  *done = n;
  return true;
}

bool MemoryFile::WriteAt(uint32_t offset, const void* buf, uint32_t len, uint32_t* done) {
  *done = 0;
  const uint64_t end = uint64_t{offset} + len;
  if (end > kMaxContainerEnd || !Reserve(end)) return false;
  // Bytes between the old end and `offset` are zero: buffers come zero-filled
  // and never shrink.
  std::memcpy(data_ + offset, buf, len);
  if (end > size_) size_ = static_cast<uint32_t>(end);
  *done = len;
  return true;
}

bool MemoryFile::Size(uint32_t* size) {
  *size = size_;
  return true;
}

}  // namespace tl
