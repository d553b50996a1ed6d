#include "entry/list_stream.h"

#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "entry/list_payload.h"
#include "minifile/minifile.h"

namespace tl {

uint32_t WriteListStream(MiniFileHandle* handle, const char16_t* stream_name, CVarBlockList& list) {
  // Measured without the lock; the export below, under the lock, is bounded by
  // this measurement, so it never writes past the buffer.
  const uint32_t blocks_size = list.ExportTo(nullptr, 0);
  if (blocks_size < kPayloadTerminatorBytes || blocks_size > UINT32_MAX - kPayloadHeaderBytes) {
    return 0;  // no list this large can be stored in one stream
  }
  const uint32_t payload_size = static_cast<uint32_t>(kPayloadHeaderBytes) + blocks_size;
  // ZeroAlloc adds 32 zero bytes behind the payload.
  auto* payload = static_cast<uint8_t*>(ZeroAlloc(payload_size));
  if (payload == nullptr) return 0;
  StoreU16(payload, kPayloadTagOffset, kPayloadTag);

  list.Lock();
  const uint32_t exported = list.ExportTo(payload + kPayloadHeaderBytes, blocks_size);
  uint32_t count = 0;
  // Counted by walking under the lock already held (GetCount would lock again).
  for (const LinksPair* node = list.Head()->next; node != list.Head(); node = node->next) {
    ++count;
  }
  list.Unlock();

  // The list may have changed between the measurement and the export (a caller
  // that adds while another commits). Then the payload describes exactly what
  // the export wrote: its real length as blocks size and the blocks it holds as
  // count, so that header, stream and result agree.
  if (exported != blocks_size) {
    count = 0;
    const uint8_t* blocks = payload + kPayloadHeaderBytes;
    for (uint32_t pos = 0; pos + kPayloadTerminatorBytes <= exported;) {
      const uint32_t size = LoadU32(blocks, pos);
      if (size == 0 || size > exported - pos) break;
      ++count;
      pos += size;
    }
  }
  StoreU32(payload, kPayloadBlocksSizeOffset, exported);
  StoreU16(payload, kPayloadCountOffset, static_cast<uint16_t>(count));
  const uint32_t stored = static_cast<uint32_t>(kPayloadHeaderBytes) + exported;
  const uint32_t written = MiniFileWriteStream(handle, stream_name, payload, stored);
  ZeroFree(payload);
  return written == stored ? count : 0;
}

}  // namespace tl
