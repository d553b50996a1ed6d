// Files through the seam. Offsets are 32-bit distances from the start of the
// file (containers stay below 2 GiB); sizes are the low 32 bits of the real size.
// File is an interface so that tests can wrap one to fail the n-th call or to
// drop every write after the n-th, as a crash would.
#pragma once

#include <cstdint>
#include <memory>

namespace tl::platform {

class File {
 public:
  virtual ~File() = default;
  // Reads up to `len` bytes at `offset`. Returns false on an error; *done gets
  // the bytes delivered (fewer than asked at the end of the file).
  virtual bool ReadAt(uint32_t offset, void* buf, uint32_t len, uint32_t* done) = 0;
  // Writes `len` bytes at `offset`; *done gets the bytes written.
  virtual bool WriteAt(uint32_t offset, const void* buf, uint32_t len, uint32_t* done) = 0;
  // The low 32 bits of the file's size; false when it cannot be had.
  virtual bool Size(uint32_t* size) = 0;
  // Forces written data to the disk.
  virtual bool Flush() = 0;
};

// A container: read/write, shared for reading only, opened when it exists and
// created (normal attributes) when it does not, in one call. An existing file is
// never truncated or re-created. Null on failure.
std::unique_ptr<File> OpenContainerFile(const char16_t* path);

// An existing file for reading, shared for reading only. Null on failure.
std::unique_ptr<File> OpenFileForReading(const char16_t* path);

// A file for reading and writing, shared for reading only, created empty: an
// existing one is truncated. Only for files of the library's own that hold
// nothing worth keeping when it opens them anew (the rollback journal).
std::unique_ptr<File> CreateEmptyFile(const char16_t* path);

// Deletes the file at `path`; true when no file remains there (also when there
// was none).
bool RemoveFile(const char16_t* path);

// True when something exists at `path`.
bool FileExists(const char16_t* path);

// A non-owning view of `target` as a File of its own, for handing a file to an
// owner (MiniFileOpenFile) while the caller keeps it. `target` must outlive
// the view. Null when the memory cannot be had.
std::unique_ptr<File> BorrowFile(File* target);

// A read-only mapping of a whole existing file (opened for reading, shared for
// reading only). An empty file maps to size 0 and a null data pointer.
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  MappedFile(MappedFile&& other) noexcept { *this = static_cast<MappedFile&&>(other); }
  MappedFile& operator=(MappedFile&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = other.data_;
      size_ = other.size_;
      os_ = other.os_;
      other.data_ = nullptr;
      other.size_ = 0;
      other.os_ = nullptr;
    }
    return *this;
  }
  ~MappedFile() { reset(); }

  // Maps `path`; false (and nothing mapped) when it cannot be opened or mapped.
  bool Open(const char16_t* path);
  void reset();

  const uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }

 private:
  const uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
  void* os_ = nullptr;  // backend state (handles / mapping length)
};

}  // namespace tl::platform
