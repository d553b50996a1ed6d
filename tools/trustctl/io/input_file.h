// trustctl's inputs (hash lists, jsonl files, files to fingerprint) are read
// with sequential reads only, so that pipes, FIFOs, /dev/stdin and process
// substitution work as well as regular files; "-" names standard input. Every
// read error is reported, never taken for the end of the input: a command that
// meets one stops before it writes anything.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tl::ctl {

class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // Opens the file named by the UTF-8 argument `arg` ("-": standard input).
  // False with *error ("NAME: cannot open ... for reading") otherwise.
  bool Open(const std::string& arg, const char* what, std::string* error);

  // Reads up to `len` bytes into `buf`; *got is 0 only at the end. False on a
  // read error, with *error naming the file.
  bool Read(void* buf, size_t len, size_t* got, std::string* error);

  // Reads everything that is left. False on a read error.
  bool ReadAll(std::vector<uint8_t>* out, std::string* error);

  // The file's size when it is a regular file that can be positioned, so a
  // reader may skip what it does not need; -1 for pipes and devices.
  int64_t SeekableSize() const { return seekable_size_; }
  // Moves to `offset` of a seekable file. False when that fails.
  bool SeekTo(int64_t offset);

  const std::string& shown() const { return shown_; }

 private:
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  int64_t seekable_size_ = -1;
  std::string shown_;
};

// The fingerprint the library computes for a file (fingerprint/file_fingerprint.h:
// sampled by the low 32 bits of its size), taken with sequential reads: a
// regular file is positioned to each piece, anything else is read through.
// *full_size is the whole size. False on a read error, and for a stream that is
// not a regular file, 4 GiB or larger, whose sample lies in its middle.
bool SequentialFingerprint(InputFile& in, uint64_t* fingerprint, uint64_t* full_size,
                           std::string* error);

// The note printed beside the fingerprint of a file of 4 GiB or more, whose
// fingerprint says little of it; "" for a smaller file.
std::string LargeFileNote(const std::string& shown, uint64_t full_size);

}  // namespace tl::ctl
