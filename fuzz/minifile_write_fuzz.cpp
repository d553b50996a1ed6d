// Open and stream write over arbitrary file bytes. Whatever the file held, the
// open either fails or yields a container in which a successful write reads
// back through the checked reader, and the streams the write did not replace
// keep their bytes.
//
// Inputs that carry the magic get their header CRC fixed up first, so that the
// fuzzer reaches the table and directory handling instead of the fresh-header
// path every time. Headers claiming a directory above 64 Ki entries or blocks
// above 64 KiB are left as they are: legal, but a write into them makes an
// in-memory file of up to 2 GiB, which would starve the search of executions.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/crc32.h"
#include "common/le.h"
#include "minifile/container_reader.h"
#include "minifile/creation_parameters.h"
#include "minifile/header.h"
#include "minifile/memory_file.h"
#include "minifile/memory_journal.h"
#include "minifile/minifile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool params_set = [] {
    tl::CreationParameters p{20, 512, 32, 4, 0};
    tl::SetCreationParameters(&p);
    return true;
  }();
  (void)params_set;
  if (size < 3) return 0;
  // The first two bytes choose the stream: its length (in 64-byte steps) and
  // one of a few names, some differing only in case.
  static const char16_t* const kNames[] = {u"ProgramList", u"programlist", u"BlockList", u"x"};
  const char16_t* name = kNames[data[0] & 3];
  const uint32_t length = 1 + (uint32_t{data[1]} * 64);
  std::vector<uint8_t> file_bytes(data + 2, data + size);
  if (file_bytes.size() >= tl::kHeaderSize &&
      tl::LoadU32(file_bytes.data(), tl::kHeaderMagicOffset) == tl::kHeaderMagic &&
      tl::LoadU32(file_bytes.data(), tl::kHeaderDirEntriesOffset) <= 0x10000 &&
      tl::LoadU32(file_bytes.data(), tl::kHeaderBlockSizeOffset) <= 0x10000) {
    tl::StoreU32(file_bytes.data(), tl::kHeaderCrcOffset, tl::HeaderCrc(file_bytes.data()));
  }
  auto file = tl::MemoryFile::FromBytes(file_bytes.data(), file_bytes.size());
  if (!file) return 0;

  // Streams readable before the write, other than the one replaced.
  tl::ContainerReader before;
  std::vector<std::pair<std::u16string, std::vector<uint8_t>>> kept;
  if (before.OpenBytes(file->data(), file->size()) && before.header_valid() &&
      before.Verify().empty()) {
    for (const tl::DirEntryInfo& e : before.entries()) {
      if (!e.present() || before.FindStream(e.name.c_str()) != static_cast<int>(e.index)) continue;
      if (before.FindStream(name) == static_cast<int>(e.index)) continue;
      std::vector<uint8_t> bytes;
      if (before.ReadStream(e.index, &bytes) == tl::Defect::kNone) kept.emplace_back(e.name, bytes);
    }
  }

  std::vector<uint8_t> payload(length);
  for (uint32_t k = 0; k < length; ++k) payload[k] = static_cast<uint8_t>(k * 7 + data[0]);
  // With a journal, so that writes reusing the older stream's blocks run too;
  // none may remain once the write has returned.
  tl::MemoryJournalSite journal;
  tl::MiniFileHandle* h =
      tl::MiniFileOpenFile(tl::platform::BorrowFile(file.get()), tl::BorrowJournalSite(&journal));
  if (h == nullptr) return 0;
  const uint32_t written = tl::MiniFileWriteStream(h, name, payload.data(), length);
  tl::MiniFileClose(h);
  if (written != 0 && written != length) __builtin_trap();
  if (journal.Exists()) __builtin_trap();

  tl::ContainerReader after;
  if (!after.OpenBytes(file->data(), file->size()) || !after.header_valid()) __builtin_trap();
  if (written == length) {
    const int e = after.FindStream(name);
    std::vector<uint8_t> back;
    if (e < 0 || after.ReadStream(static_cast<uint32_t>(e), &back) != tl::Defect::kNone ||
        back != payload) {
      __builtin_trap();
    }
  }
  // A sound container stays sound, and its other streams keep their bytes
  // whether or not the write succeeded.
  if (!kept.empty() || (before.header_valid() && before.Verify().empty())) {
    if (!after.Verify().empty()) __builtin_trap();
    for (const auto& [n, bytes] : kept) {
      const int e = after.FindStream(n.c_str());
      std::vector<uint8_t> back;
      if (e < 0 || after.ReadStream(static_cast<uint32_t>(e), &back) != tl::Defect::kNone ||
          back != bytes) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
