#include "list_store.h"

#include <filesystem>

#include "blocklist/block_header.h"
#include "common/crc32.h"
#include "common/le.h"
#include "common/zalloc.h"
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

size_t PayloadSizeOf(CVarBlockList& list) {
  return kPayloadHeaderBytes + size_t{list.ExportTo(nullptr, 0)};
}

bool StoreList(const std::u16string& container, const std::u16string& stream, CVarBlockList& list,
               uint32_t* payload_bytes, std::string* error) {
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
  // The payload is built once, as the commit builds it, and freed as soon as
  // it is written.
  uint32_t expected_size = 0;
  uint32_t blocks = 0;
  uint8_t* payload = BuildListPayload(list, &expected_size, &blocks);
  if (payload == nullptr) {
    MiniFileClose(handle);
    forget_new();
    *error = Shown(container) + ": no memory for the stream's payload; nothing was written";
    return false;
  }
  const uint32_t written = MiniFileWriteStream(handle, stream.c_str(), payload, expected_size);
  ZeroFree(payload);
  MiniFileClose(handle);
  if (written != expected_size) {
    forget_new();
    *error = Shown(container) + ": the stream could not be written (" +
             std::to_string(expected_size) +
             "-byte payload: too little free space, no free directory slot, or a failed write);"
             " the older stream stays";
    return false;
  }

  // The writer reported every block and the new table and directory as
  // written and flushed. What is checked here is what the container now says:
  // the stream is present with the payload's length and the whole container,
  // sound before the write, is still sound. The bytes are not unscrambled
  // again: that would be one more pass over the whole payload, and what a
  // read gives back right after the write comes from the system's cache
  // rather than the disk, so it would confirm little beyond the writer's result.
  ContainerReader reader;
  const bool opened = reader.Open(container.c_str()) && reader.header_valid();
  const int entry = opened ? reader.FindStream(stream.c_str()) : -1;
  if (!opened) {
    *error = Shown(container) +
             ": reading the container back to check the write failed; the stream is the older or "
             "the new one (see trustctl verify)";
    return false;
  }
  if (entry < 0 || reader.entries()[static_cast<size_t>(entry)].size != expected_size ||
      !reader.Verify().empty()) {
    // The writer reported the stream as stored, yet the container says otherwise.
    *error = Shown(container) +
             ": the container reads back otherwise than it was written (see trustctl verify)";
    return false;
  }
  *payload_bytes = expected_size;
  return true;
}

}  // namespace tl::ctl
