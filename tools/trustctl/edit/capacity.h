// How much a container can still take, for dump, verify and the commands that
// write: blocks used and free, directory slots free, and the room of one stream
// as the stream writer sees it (the blocks free now plus the blocks of the
// stream it replaces, and a directory slot: its own or a free one).
#pragma once

#include <cstdint>
#include <string>

#include "entry/hash_list.h"
#include "entry/list_payload.h"
#include "minifile/container_reader.h"
#include "platform/file.h"

namespace tl::ctl {

// The program block a hash list line or a fingerprint-only entry becomes.
inline constexpr uint32_t kCapacityEntryBytes = kHashBlockSize;
// Payload header and the terminator of the block sequence.
inline constexpr uint32_t kPayloadOverhead = kEmptyPayloadBytes;

struct Capacity {
  uint32_t block_size = 0;
  uint32_t data_blocks = 0;  // data blocks the table can address
  uint32_t used = 0;
  uint32_t free = 0;
  uint32_t dir_slots = 0;
  uint32_t dir_free = 0;
};

// Of a container whose header is valid.
Capacity CapacityOf(const ContainerReader& r);
// Of a container the commit's parameters would create.
Capacity NewContainerCapacity();

// "the list does not fit: ..." for a payload of `payload_bytes` against the
// `room` stream `stream` of `container` has.
std::string DoesNotFitText(const std::u16string& container, const std::u16string& stream,
                           uint64_t payload_bytes, uint64_t room);

// The room a stream has by the writer's rule, over the bytes of a container
// read without writing or waiting (dry runs, dump, verify; null: none): a
// missing, empty or unusable container counts as the new one a write would
// make. An empty `stream` asks for a stream the container does not hold yet.
uint64_t RoomOfFile(platform::File* file, const std::u16string& stream);

// Bytes a stream the container does not hold yet could take, by the writer's
// rule (MiniFileNewStreamRoom).
uint64_t NewStreamRoom(const ContainerReader& r);

// Bytes stream `stream` could hold if written now; 0 when no directory slot
// would be left for it. `current` gets its present payload length (0 if absent).
uint64_t StreamRoom(const ContainerReader& r, const std::u16string& stream, uint64_t* current);

// 200-byte entries that fit in `room` beyond a payload of `payload_now` bytes.
inline uint64_t EntriesThatFit(uint64_t room, uint64_t payload_now) {
  return room < payload_now ? 0 : (room - payload_now) / kCapacityEntryBytes;
}

// "blocks: U used, F free of N (B bytes each); directory: S of D slots free"
std::string CapacityText(const Capacity& c);

// Checks, without writing or holding the container (dry runs), that a payload
// of `payload_bytes` fits as stream `stream` of `container`, as the dry run's
// look read it (`look`, null when there is no container), by the writer's own
// rule (a missing or empty container is created with the commit's parameters).
// False with a message saying how many 200-byte entries the stream can hold.
// A real write asks EditSession::CheckFits, under its hold.
bool CheckFits(const std::u16string& container, const ContainerReader* look,
               const std::u16string& stream, uint64_t payload_bytes, std::string* error);

}  // namespace tl::ctl
