// Files through the seam. Offsets are 32-bit distances from the start of the
// file (containers stay below 2 GiB); sizes are the low 32 bits of the real size.
// File is an interface so that tests can wrap one to fail the n-th call or to
// drop every write after the n-th, as a crash would.
#pragma once

#include <cstdint>
#include <memory>

namespace tl::platform {

// What names one file whatever path reached it: device and inode on POSIX,
// volume serial and file index on Windows. Both zero: not known.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool known() const { return volume != 0 || index != 0; }
  bool operator==(const FileIdentity&) const = default;
};

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
  // The identity of the file; false (and *out untouched) when it has none,
  // as for files kept in memory.
  virtual bool Identity(FileIdentity* out) {
    (void)out;
    return false;
  }
  // The file's bytes where it is kept in memory (a snapshot), for a reader
  // that can take them in place instead of copying them out; *size gets
  // their number. Null for a file on disk.
  virtual const uint8_t* HeldBytes(uint32_t* size) const {
    *size = 0;
    return nullptr;
  }
};

// How long a writer waits for another writer of the same container before it
// gives up, changing nothing.
inline constexpr uint32_t kWriterWaitMs = 5000;

// How an open for the one writer of a container ended.
enum class WriterOpenStatus : uint8_t {
  kOk,
  kInUse,       // another writer held the container for the whole wait
  kNotRegular,  // the path names a directory, a FIFO, a device
  kFailed,      // the system refused the open (see system_error)
};

// The container at `path`, open for its one writer. Like OpenContainerFile
// (read/write, opened when it exists and created when it does not, never
// truncated), and held against every other writer until the file is closed:
// on Windows by the open's share mode (read only), on POSIX by an exclusive
// advisory lock (flock) on the file. While another writer holds it, the open
// retries with a growing pause for up to `wait_ms` milliseconds, then gives
// up with kInUse. Only a regular file is a container: anything else is
// refused at once and never created or blocked on.
struct WriterOpen {
  std::unique_ptr<File> file;
  WriterOpenStatus status = WriterOpenStatus::kFailed;
  uint32_t system_error = 0;  // with kFailed
  bool created = false;       // the open made the file
};
WriterOpen OpenContainerForWriter(const char16_t* path, uint32_t wait_ms);

// The container at `path`, open for a reader that takes a snapshot of it: an
// existing regular file, read only, held against every writer for as long as
// it is open (Windows: the open's share mode, read only, which other readers
// share; POSIX: a shared advisory lock), so that what it reads is one state
// between two writes. While a writer holds the container the open retries as
// a writer's does for up to `wait_ms` milliseconds, then gives up with kInUse.
// A missing file is kFailed with the system's error; nothing is created.
// The reader is to read what it needs and close at once: a writer waits for
// it.
WriterOpen OpenContainerForReader(const char16_t* path, uint32_t wait_ms);

// The path of `file`, open at `path`, with every link resolved (POSIX:
// realpath; Windows: the final path of the handle), written to `out` (a
// buffer of `units` code units, terminated). Falls back to `path` itself when
// the system cannot tell. False when `out` is too small.
bool ResolvedPath(File* file, const char16_t* path, char16_t* out, size_t units);

// Removes the container at `path` that the caller holds open as `file` for
// its one writer and created itself, before any other writer could see it
// used; true when it is gone. On POSIX the name goes while the lock is held
// (a writer waiting for it then finds the name no longer leads to its file
// and opens again); on Windows the file is marked for deletion on close.
bool RemoveHeldContainer(File* file, const char16_t* path);

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
