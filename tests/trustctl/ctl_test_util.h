// Running trustctl commands in-process and preparing the files they work on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tl::test {

struct CtlResult {
  int rc = -1;
  std::string out;
  std::string err;
};

// Runs one trustctl command line (without the program name).
CtlResult Ctl(const std::vector<std::string>& args);

// The path of `name` inside `dir`, as a command-line argument (UTF-8).
std::string Arg(const TempDir& dir, const std::string& name);

// Writes `text` to a file of `dir` and returns its argument form.
std::string WriteText(const TempDir& dir, const std::string& name, const std::string& text);

// A minimal image with 'M','Z', the header offset 64 at byte 60, 'P','E',0,0
// at 64 and `stamp` at 72, padded to `size` bytes.
std::vector<uint8_t> PeImage(uint32_t stamp, size_t size = 512);

// The unscrambled payload of `stream` in `container`; empty when it cannot be read.
std::vector<uint8_t> StreamPayload(const std::string& container, const std::u16string& stream);

// The file offset of the container's data area (for byte surgery in tests).
uint32_t DataOffset(const std::string& container);

// XORs byte `offset` of a file with `mask`. A stream's bytes are RC4 output, so
// flipping a stored bit flips the same bit of the unscrambled payload.
void FlipByte(const std::string& path, uint64_t offset, uint8_t mask);

std::vector<uint8_t> FileBytes(const std::string& path);

// A container `dir`/hot.mnf whose ProgramList import (40 entries replaced by
// 50, reusing the older stream's blocks) was cut off with its journal
// complete and some of the older stream's blocks overwritten: every write
// from some point on failed, the rollback's too, as a crash would leave it.
struct HotJournal {
  std::string box;         // the container; its journal is box + "-journal"
  std::string old_export;  // export of ProgramList before the import
  std::string blocks;      // export of BlockList, untouched by the import
  std::string new_list;    // the hash list the import was given
};
HotJournal MakeHotJournal(const TempDir& dir);

}  // namespace tl::test
