// Helpers for the block list tests: blocks with a size, a key and an id byte,
// and a list that records its lock calls and hooks in order.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/zalloc.h"

namespace tl::test {

// Byte 32 (a header byte the list never reads) carries an id so that hook
// records can name blocks; the body after the header is a pattern.
inline constexpr uint32_t kIdOffset = 32;

inline uint8_t* MakeBlock(uint32_t size, uint64_t key, uint8_t id) {
  auto* b = static_cast<uint8_t*>(ZeroAlloc(size));
  StoreU32(b, kBlockSizeOffset, size);
  StoreU16(b, 4, 2);
  StoreU64(b, kBlockKeyOffset, key);
  StoreU32(b, kBlockTransientOffset, 0x1234);
  b[kIdOffset] = id;
  for (uint32_t i = kBlockHeaderSize; i < size; ++i) b[i] = static_cast<uint8_t>(id + i);
  return b;
}

inline uint64_t KeyOf(const uint8_t* block) { return LoadU64(block, kBlockKeyOffset); }
inline uint8_t IdOf(const uint8_t* block) { return block[kIdOffset]; }

// Ids of the blocks from head to tail.
inline std::vector<int> Ids(CVarBlockList& list) {
  std::vector<int> ids;
  for (LinksPair* n = list.Head()->next; n != list.Head(); n = n->next) {
    ids.push_back(IdOf(CVarBlockList::BlockOfNode(n)));
  }
  return ids;
}

// The first block from the head with `key`: what every lookup must answer.
inline uint8_t* WalkFirst(CVarBlockList& list, uint64_t key) {
  for (LinksPair* n = list.Head()->next; n != list.Head(); n = n->next) {
    if (KeyOf(CVarBlockList::BlockOfNode(n)) == key) return CVarBlockList::BlockOfNode(n);
  }
  return nullptr;
}

class RecordingList : public CVarBlockList {
 public:
  std::vector<std::string> calls;

  uint32_t Lock() override {
    calls.push_back("Lock");
    return CVarBlockList::Lock();
  }
  int32_t Unlock() override {
    calls.push_back("Unlock");
    return CVarBlockList::Unlock();
  }
  void OnReplace(uint8_t* new_block, uint8_t* old_block) override {
    calls.push_back("OnReplace " + Name(new_block) + " " + Name(old_block));
  }
  void OnTrace(const char* text, const uint8_t* block) override {
    calls.push_back(std::string(text) + " " + Name(block));
  }
  std::vector<std::string> Take() {
    std::vector<std::string> out;
    out.swap(calls);
    return out;
  }

 private:
  static std::string Name(const uint8_t* block) { return std::to_string(IdOf(block)); }
};

}  // namespace tl::test
