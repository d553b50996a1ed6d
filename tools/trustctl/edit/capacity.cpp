#include "edit/capacity.h"

#include <memory>
#include <vector>

#include "common/u16.h"
#include "io/format.h"
#include "minifile/creation_parameters.h"
#include "minifile/memory_file.h"
#include "minifile/minifile.h"
#include "platform/file.h"
#include "platform/path_info.h"

namespace tl::ctl {

Capacity CapacityOf(const ContainerReader& r) {
  const Geometry& g = r.geometry();
  Capacity c;
  c.block_size = g.block_size;
  c.data_blocks = g.block_limit > kFirstDataBlock ? g.block_limit - kFirstDataBlock : 0;
  for (uint32_t b = kFirstDataBlock; b < g.block_limit; ++b) {
    if (r.Link(b) == kLinkFree) {
      ++c.free;
    } else {
      ++c.used;
    }
  }
  c.dir_slots = g.dir_entries;
  uint32_t taken = 0;
  for (const DirEntryInfo& e : r.entries()) taken += e.free() ? 0 : 1;
  c.dir_free = g.dir_entries - taken;
  return c;
}

Capacity NewContainerCapacity() {
  Capacity c;
  // The parameters as the open normalizes them: what a write would make.
  const CreationParameters p = NormalizedCreationParameters(kCommitCreationParameters);
  c.block_size = p.blockSize;
  c.data_blocks = p.tableEntries - kFirstDataBlock;
  c.free = c.data_blocks;
  c.dir_slots = c.dir_free = p.directoryEntries;
  return c;
}

std::string DoesNotFitText(const std::u16string& container, const std::u16string& stream,
                           uint64_t payload_bytes, uint64_t room) {
  const uint64_t fit = EntriesThatFit(room, kPayloadOverhead);
  return Shown(container) + ": the list does not fit: its " + std::to_string(payload_bytes) +
         "-byte payload needs more than the " + std::to_string(room) + " bytes stream \"" +
         Printable(std::u16string_view(stream)) + "\" can take (" + std::to_string(fit) +
         " entries of 200 bytes fit" + (room == 0 ? ": no free directory slot" : "") +
         "); nothing was written";
}

uint64_t RoomOfFile(platform::File* file, const std::u16string& stream) {
  // The writer's own rule over a handle that only reads: a sound header is
  // read as it is; anything else is measured as the fresh container a write
  // would make, in memory.
  MiniFileHandle* h = nullptr;
  uint32_t size = 0;
  if (file != nullptr && file->Size(&size) && size != 0) {
    h = MiniFileOpenWith(platform::BorrowFile(file), nullptr, &kCommitCreationParameters);
  }
  if (h == nullptr) {
    h = MiniFileOpenWith(std::make_unique<MemoryFile>(), nullptr, &kCommitCreationParameters);
  }
  const uint64_t room =
      stream.empty() ? MiniFileNewStreamRoom(h) : MiniFileStreamRoom(h, stream.c_str());
  MiniFileClose(h);
  return room;
}

uint64_t NewStreamRoom(const ContainerReader& r) { return RoomOfFile(r.file(), u""); }

uint64_t StreamRoom(const ContainerReader& r, const std::u16string& stream, uint64_t* current) {
  *current = 0;
  const int entry = r.FindStream(stream.c_str());
  if (entry >= 0) *current = r.entries()[static_cast<size_t>(entry)].size;
  return RoomOfFile(r.file(), stream);
}

std::string CapacityText(const Capacity& c) {
  return "blocks: " + std::to_string(c.used) + " used, " + std::to_string(c.free) + " free of " +
         std::to_string(c.data_blocks) + " (" + std::to_string(c.block_size) +
         " bytes each); directory: " + std::to_string(c.dir_free) + " of " +
         std::to_string(c.dir_slots) + " slots free";
}

bool CheckFits(const std::u16string& container, const ContainerReader* look,
               const std::u16string& stream, uint64_t payload_bytes, std::string* error) {
  // The bytes the look read, not the file as it is now: the dry run judges
  // one state of the container.
  const uint64_t room = RoomOfFile(look != nullptr ? look->file() : nullptr, stream);
  if (payload_bytes <= room) return true;
  *error = DoesNotFitText(container, stream, payload_bytes, room);
  return false;
}

}  // namespace tl::ctl
