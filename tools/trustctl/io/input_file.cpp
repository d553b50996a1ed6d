#include "io/input_file.h"

#include <cerrno>
#include <cstring>

#include "common/u16.h"
#include "fingerprint/file_fingerprint.h"
#include "io/format.h"
#include "platform/input_backend.h"

namespace tl::ctl {

InputFile::~InputFile() {
  if (file_ != nullptr && owned_) std::fclose(file_);
}

bool InputFile::Open(const std::string& arg, const char* what, std::string* error) {
  if (arg == "-") {
    shown_ = "standard input";
    file_ = input_backend::StandardInput();
    owned_ = false;
  } else {
    const std::u16string path = Utf8ToU16(arg);
    shown_ = PrintablePath(path);
    errno = 0;
    file_ = input_backend::OpenForReading(path);
    owned_ = true;
  }
  if (file_ == nullptr) {
    const int e = errno;
    *error = shown_ + ": cannot open the " + what + " for reading" +
             (e != 0 ? std::string(": ") + std::strerror(e) : "");
    return false;
  }
  seekable_size_ = input_backend::RegularFileSize(file_);
  return true;
}

bool InputFile::Read(void* buf, size_t len, size_t* got, std::string* error) {
  *got = 0;
  auto* p = static_cast<uint8_t*>(buf);
  while (*got < len) {
    errno = 0;
    const size_t n = std::fread(p + *got, 1, len - *got, file_);
    *got += n;
    if (n != 0) continue;
    if (std::ferror(file_)) {
      const int e = errno;
      if (e == EINTR) {
        std::clearerr(file_);
        continue;
      }
      *error = shown_ + ": read error" + (e != 0 ? std::string(": ") + std::strerror(e) : "");
      return false;
    }
    break;  // the end
  }
  return true;
}

bool InputFile::ReadAll(std::vector<uint8_t>* out, std::string* error) {
  uint8_t chunk[65536];
  while (true) {
    size_t got = 0;
    if (!Read(chunk, sizeof chunk, &got, error)) return false;
    if (got == 0) return true;
    out->insert(out->end(), chunk, chunk + got);
  }
}

bool InputFile::SeekTo(int64_t offset) {
  return seekable_size_ >= 0 && input_backend::Seek(file_, offset);
}

namespace {

// A file that can be positioned: each piece is read where the library reads
// it. A read error, or a piece cut short inside the size the file had when it
// was opened, is an error: the fingerprint would not be the file's.
class PositionedSource final : public SampleReader {
 public:
  PositionedSource(InputFile& in, std::string* error) : in_(in), error_(error) {}
  uint32_t ReadSample(uint32_t offset, uint8_t* buf, uint32_t len) override {
    if (failed_) return 0;
    size_t got = 0;
    if (!in_.SeekTo(offset)) {
      *error_ = in_.shown() + ": cannot position the file";
      failed_ = true;
    } else if (!in_.Read(buf, len, &got, error_)) {
      failed_ = true;
    } else if (got != len) {
      *error_ = in_.shown() + ": the file became shorter while it was read";
      failed_ = true;
    }
    return static_cast<uint32_t>(got);
  }
  bool failed() const { return failed_; }

 private:
  InputFile& in_;
  std::string* error_;
  bool failed_ = false;
};

// Anything else (a pipe, a device) is read through once, keeping its first
// kFingerprintWholeFileLimit bytes and its last kFingerprintPieceBytes bytes;
// the sample is then served from those. The size is known only at the end, so
// a stream of 4 GiB or more whose 32-bit size is not below the whole-file
// limit has its second piece somewhere in the middle, long gone: that is
// refused, never guessed.
class ReadThroughSource final : public SampleReader {
 public:
  ReadThroughSource(InputFile& in, std::string* error) : in_(in), error_(error) {}

  // Reads the whole input. False on a read error.
  bool Load() {
    size_t got = 0;
    if (!in_.Read(head_, sizeof head_, &got, error_)) return false;
    head_len_ = got;
    total_ = got;
    if (got < sizeof head_) return true;
    std::memcpy(tail_, head_ + kFingerprintPieceBytes, kFingerprintPieceBytes);
    size_t ring_at = 0;  // index of the oldest byte of the ring
    uint8_t chunk[65536];
    while (true) {
      if (!in_.Read(chunk, sizeof chunk, &got, error_)) return false;
      if (got == 0) break;
      total_ += got;
      for (size_t i = 0; i < got; ++i) {
        tail_[ring_at] = chunk[i];
        ring_at = (ring_at + 1) % kFingerprintPieceBytes;
      }
    }
    uint8_t ordered[kFingerprintPieceBytes];
    std::memcpy(ordered, tail_ + ring_at, kFingerprintPieceBytes - ring_at);
    std::memcpy(ordered + (kFingerprintPieceBytes - ring_at), tail_, ring_at);
    std::memcpy(tail_, ordered, kFingerprintPieceBytes);
    return true;
  }

  uint32_t ReadSample(uint32_t offset, uint8_t* buf, uint32_t len) override {
    const uint64_t end = uint64_t{offset} + len;
    if (end <= head_len_) {
      std::memcpy(buf, head_ + offset, len);
      return len;
    }
    const uint64_t tail_start =
        total_ - (total_ < kFingerprintWholeFileLimit ? 0 : kFingerprintPieceBytes);
    if (total_ >= kFingerprintWholeFileLimit && offset >= tail_start && end <= total_) {
      std::memcpy(buf, tail_ + (offset - tail_start), len);
      return len;
    }
    *error_ = in_.shown() +
              ": 4 GiB or larger and not a regular file: the bytes its fingerprint samples"
              " (by the low 32 bits of its size) were passed before its size was known";
    failed_ = true;
    return 0;
  }
  bool failed() const { return failed_; }
  uint64_t total() const { return total_; }

 private:
  InputFile& in_;
  std::string* error_;
  uint8_t head_[kFingerprintWholeFileLimit] = {};
  size_t head_len_ = 0;
  uint8_t tail_[kFingerprintPieceBytes] = {};
  uint64_t total_ = 0;
  bool failed_ = false;
};

}  // namespace

bool SequentialFingerprint(InputFile& in, uint64_t* fingerprint, uint64_t* full_size,
                           std::string* error) {
  const int64_t known = in.SeekableSize();
  if (known >= 0) {
    // A size of 0 reads nothing; one byte is still asked for, so that a file
    // that cannot be read (or a device that calls itself an empty regular
    // file) fails instead of passing for empty.
    uint8_t probe = 0;
    size_t probed = 0;
    if (known == 0 && !in.Read(&probe, 1, &probed, error)) return false;
    const uint32_t size = FingerprintSizeOf(static_cast<uint64_t>(known));
    PositionedSource source(in, error);
    const uint32_t crc = SampledCrc(source, size);
    if (source.failed()) return false;
    *fingerprint = MakeFingerprint(size, crc);
    *full_size = static_cast<uint64_t>(known);
    return true;
  }
  ReadThroughSource source(in, error);
  if (!source.Load()) return false;
  const uint32_t size = FingerprintSizeOf(source.total());
  const uint32_t crc = SampledCrc(source, size);
  if (source.failed()) return false;
  *fingerprint = MakeFingerprint(size, crc);
  *full_size = source.total();
  return true;
}

std::string LargeFileNote(const std::string& shown, uint64_t full_size) {
  if (!FingerprintSizeWraps(full_size)) return "";
  return shown +
         ": 4 GiB or larger; its fingerprint holds, and samples by, the low 32 bits of its size"
         " (as the library's does)";
}

}  // namespace tl::ctl
