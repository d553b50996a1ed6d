#include "list_store.h"

#include <filesystem>

#include "blocklist/block_header.h"
#include "common/crc32.h"
#include "common/le.h"
#include "entry/list_payload.h"
#include "entry/list_stream.h"
#include "minifile/creation_parameters.h"
#include "minifile/dir_entry.h"
#include "minifile/minifile.h"

namespace tl::ctl {
bool ValidStreamName(const std::u16string& name, std::string* error) {
  if (name.empty() || name.size() > kDirEntryMaxNameUnits) {
    *error = "a stream name has 1 to " + std::to_string(kDirEntryMaxNameUnits) + " characters";
    return false;
  }
  if (name.find(u'\0') != std::u16string::npos) {
    *error = "a stream name cannot hold a NUL character";
    return false;
  }
  return true;
}

bool CheckWritable(const std::u16string& container, std::string* error) {
  std::error_code ec;
  const std::filesystem::path p(container);
  if (!std::filesystem::exists(p, ec)) {
    if (ec) {
      *error = Shown(container) + ": cannot be examined: " + ec.message();
      return false;
    }
    return true;
  }
  ContainerReader reader;
  if (!reader.Open(container.c_str())) {
    *error = Shown(container) + ": cannot open the container for reading";
    return false;
  }
  if (reader.file_size() == 0) return true;
  const std::vector<Finding> findings = reader.Verify();
  if (!findings.empty()) {
    *error = Shown(container) +
             ": the container has defects (first: " + DefectName(findings[0].defect) +
             "); see trustctl verify — it is not changed";
    return false;
  }
  return true;
}

bool KeepEntries(const StreamContents& contents, CVarBlockList& list, std::string* error) {
  for (size_t i = 0; i < contents.view.blocks.size(); ++i) {
    if (list.AddBlockCopy(contents.BlockBytes(i)) == 0) {
      *error = "stored block " + std::to_string(i + 1) + " cannot be taken over";
      return false;
    }
  }
  return true;
}

std::vector<uint8_t> PayloadOf(CVarBlockList& list) {
  list.Lock();
  const uint32_t blocks_size = list.ExportTo(nullptr, 0);
  std::vector<uint8_t> payload(kPayloadHeaderBytes + size_t{blocks_size});
  const uint32_t exported = list.ExportTo(payload.data() + kPayloadHeaderBytes, blocks_size - 4);
  uint32_t count = 0;
  for (const LinksPair* n = list.Head()->next; n != list.Head(); n = n->next) ++count;
  list.Unlock();
  payload.resize(kPayloadHeaderBytes + size_t{exported});
  StoreU16(payload.data(), kPayloadTagOffset, kPayloadTag);
  StoreU16(payload.data(), kPayloadCountOffset, static_cast<uint16_t>(count));
  StoreU32(payload.data(), kPayloadBlocksSizeOffset, exported);
  return payload;
}

bool StoreList(const std::u16string& container, const std::u16string& stream, CVarBlockList& list,
               uint32_t* payload_bytes, std::string* error) {
  // Only the expected payload's length and CRC-32 are kept for the check after
  // the write: holding its bytes as well would keep a third copy of the list
  // (beside the blocks and the stored bytes read back) alive at the peak.
  uint32_t expected_size = 0;
  uint32_t expected_crc = 0;
  {
    const std::vector<uint8_t> expected = PayloadOf(list);
    expected_size = static_cast<uint32_t>(expected.size());
    expected_crc = Crc32(expected.data(), expected.size());
  }
  CreationParameters params = GetCreationParameters();
  params.blockSize = kCommitBlockSize;
  params.tableEntries = kCommitTableEntries;
  params.directoryEntries = kCommitDirectoryEntries;
  SetCreationParameters(&params);

  std::error_code ec;
  const bool existed = std::filesystem::exists(std::filesystem::path(container), ec);
  // A store that fails on a container it created leaves no new file behind.
  auto forget_new = [&] {
    if (!existed) std::filesystem::remove(std::filesystem::path(container), ec);
  };
  MiniFileHandle* handle = MiniFileOpen(container.c_str());
  if (handle == nullptr) {
    forget_new();
    *error = Shown(container) + ": cannot open or create the container for writing";
    return false;
  }
  // WriteListStream gives the block count, which is 0 for an empty list also
  // on success: the stream read back below is what tells.
  WriteListStream(handle, stream.c_str(), list);
  MiniFileClose(handle);

  // The raw stored bytes suffice for the check; decoding them is not needed.
  ContainerReader reader;
  std::vector<uint8_t> stored;
  // A stream that is absent or differs was not written: the writer keeps the
  // older one. A read-back that itself fails cannot tell, and says so.
  const bool opened = reader.Open(container.c_str()) && reader.header_valid();
  const int entry = opened ? reader.FindStream(stream.c_str()) : -1;
  const bool read =
      entry >= 0 && reader.ReadStream(static_cast<uint32_t>(entry), &stored) == Defect::kNone;
  if (!opened || (entry >= 0 && !read)) {
    forget_new();
    *error = Shown(container) +
             ": reading the container back to check the write failed; the stream is the older or "
             "the new one (see trustctl verify)";
    return false;
  }
  if (entry < 0 || stored.size() != expected_size ||
      Crc32(stored.data(), stored.size()) != expected_crc) {
    forget_new();
    *error = Shown(container) + ": the stream could not be written (" +
             std::to_string(expected_size) +
             "-byte payload: too little free space, no free directory slot, or a failed write);"
             " the older stream stays";
    return false;
  }
  *payload_bytes = expected_size;
  return true;
}

}  // namespace tl::ctl
