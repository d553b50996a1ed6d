#include "entry/list_stream.h"

#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "entry/list_payload.h"

namespace tl {

uint32_t ListPayloadSize(CVarBlockList& list) {
  const uint32_t blocks_size = list.ExportTo(nullptr, 0);
  if (blocks_size < kPayloadTerminatorBytes || blocks_size > UINT32_MAX - kPayloadHeaderBytes) {
    return 0;  // no list this large can be stored in one stream
  }
  return static_cast<uint32_t>(kPayloadHeaderBytes) + blocks_size;
}

uint8_t* BuildListPayload(CVarBlockList& list, uint32_t* size, uint32_t* count) {
  // Measured without the lock; the export below, under the lock, is bounded by
  // this measurement, so it never writes past the buffer.
  const uint32_t payload_size = ListPayloadSize(list);
  if (payload_size == 0) return nullptr;
  const uint32_t blocks_size = payload_size - static_cast<uint32_t>(kPayloadHeaderBytes);
  // ZeroAlloc adds 32 zero bytes behind the payload.
  auto* payload = static_cast<uint8_t*>(ZeroAlloc(payload_size));
  if (payload == nullptr) return nullptr;

  list.Lock();
  const uint32_t exported = list.ExportTo(payload + kPayloadHeaderBytes, blocks_size);
  uint32_t blocks = 0;
  // Counted by walking under the lock already held (GetCount would lock again).
  for (const LinksPair* node = list.Head()->next; node != list.Head(); node = node->next) {
    ++blocks;
  }
  list.Unlock();

  // The list may have changed between the measurement and the export (a caller
  // that adds while another commits). Then the payload describes exactly what
  // the export wrote: its real length as blocks size and the blocks it holds as
  // count, so that header, stream and result agree.
  if (exported != blocks_size) {
    blocks = 0;
    const uint8_t* data = payload + kPayloadHeaderBytes;
    for (uint32_t pos = 0; pos + kPayloadTerminatorBytes <= exported;) {
      const uint32_t block_size = LoadU32(data, pos);
      if (block_size == 0 || block_size > exported - pos) break;
      ++blocks;
      pos += block_size;
    }
  }
  StampPayloadHeader(payload, exported, blocks);
  *size = static_cast<uint32_t>(kPayloadHeaderBytes) + exported;
  *count = blocks;
  return payload;
}

}  // namespace tl
