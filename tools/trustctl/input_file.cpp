#include "input_file.h"

#include <cerrno>
#include <cstring>

#include "common/crc32.h"
#include "common/u16.h"
#include "fingerprint/file_fingerprint.h"
#include "format.h"

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

bool SequentialFingerprint(InputFile& in, uint64_t* fingerprint, uint64_t* full_size,
                           std::string* error) {
  constexpr size_t kPiece = kFingerprintPieceBytes;
  constexpr size_t kWhole = kFingerprintWholeFileLimit;
  static_assert(kWhole == 2 * kPiece);
  uint8_t head[kWhole];
  size_t got = 0;
  if (!in.Read(head, kWhole, &got, error)) return false;
  uint64_t size = got;
  uint8_t tail[kPiece];
  if (got < kWhole) {
    *fingerprint = (size << 32) | Crc32(head, got);
    *full_size = size;
    return true;
  }
  // The last piece: positioned to directly on a regular file, else the last
  // kPiece bytes of what a read-through delivers, kept in a ring.
  const int64_t known = in.SeekableSize();
  if (known >= static_cast<int64_t>(kWhole) && in.SeekTo(known - static_cast<int64_t>(kPiece))) {
    if (!in.Read(tail, kPiece, &got, error)) return false;
    if (got != kPiece) {
      *error = in.shown() + ": the file became shorter while it was read";
      return false;
    }
    size = static_cast<uint64_t>(known);
  } else {
    std::memcpy(tail, head + kPiece, kPiece);
    size_t ring_at = 0;  // index of the oldest byte of the ring
    uint8_t chunk[65536];
    while (true) {
      if (!in.Read(chunk, sizeof chunk, &got, error)) return false;
      if (got == 0) break;
      size += got;
      for (size_t i = 0; i < got; ++i) {
        tail[ring_at] = chunk[i];
        ring_at = (ring_at + 1) % kPiece;
      }
    }
    uint8_t ordered[kPiece];
    std::memcpy(ordered, tail + ring_at, kPiece - ring_at);
    std::memcpy(ordered + (kPiece - ring_at), tail, ring_at);
    std::memcpy(tail, ordered, kPiece);
  }
  uint32_t crc = Crc32Update(kCrc32Init, head, kPiece);
  crc = Crc32Final(Crc32Update(crc, tail, kPiece));
  *fingerprint = ((size & 0xFFFFFFFFu) << 32) | crc;
  *full_size = size;
  return true;
}

}  // namespace tl::ctl
