#include "view/salvage.h"

#include <cstring>

#include "entry/list_payload.h"
#include "platform/file.h"

namespace tl::ctl {
namespace {

// Opens `reader` over `copy` with `header` written over its first bytes.
bool ReadWith(MemoryFile* copy, const uint8_t* header, ContainerReader* reader) {
  uint32_t done = 0;
  return copy->WriteAt(0, header, kHeaderSize, &done) && done == kHeaderSize &&
         reader->OpenFile(platform::BorrowFile(copy)) && reader->header_valid();
}

// How many present streams begin with a payload's tag under the header the
// reader reads with.
int Score(const ContainerReader& reader) {
  int score = 0;
  std::vector<uint8_t> bytes;
  for (const DirEntryInfo& e : reader.entries()) {
    if (!e.present()) continue;
    reader.ReadStreamPrefix(e.index, &bytes);
    const PayloadHeader h = ReadPayloadHeader(bytes.data(), bytes.size());
    if (h.present && h.tag == kPayloadTag) ++score;
  }
  return score;
}

// The candidate to read with: the first of those that read the most streams.
int Choose(MemoryFile* copy, const std::vector<HeaderCandidate>& candidates,
           ContainerReader* reader) {
  if (candidates.size() == 1) return 0;
  int best = -1;
  int best_score = -1;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (!ReadWith(copy, candidates[i].header, reader)) continue;
    const int score = Score(*reader);
    if (score > best_score) {
      best = static_cast<int>(i);
      best_score = score;
    }
  }
  return best;
}

}  // namespace

bool SalvageContainer(MemoryFile* copy, ContainerSalvage* out) {
  out->streams.clear();
  out->readable = false;
  if (!out->reader.OpenFile(platform::BorrowFile(copy))) {
    out->header_defect = Defect::kReadFailed;
    return false;
  }
  out->header_defect = out->reader.header_defect();
  if (out->header_defect == Defect::kHeaderShort) return false;
  uint8_t stored[kHeaderSize];
  std::memcpy(stored, out->reader.header(), kHeaderSize);
  const std::vector<HeaderCandidate> candidates = HeaderCandidates(stored);
  const int chosen = Choose(copy, candidates, &out->reader);
  if (chosen < 0) return false;
  out->header = candidates[chosen];
  if (!ReadWith(copy, out->header.header, &out->reader)) return false;
  out->readable = true;
  for (const DirEntryInfo& e : out->reader.entries()) {
    if (!e.present()) continue;
    SalvagedStream s;
    s.entry = e;
    s.chain = out->reader.ReadStreamPrefix(e.index, &s.payload, &s.chain_block);
    s.salvage = SalvagePayload(s.payload.data(), s.payload.size(), s.whole());
    out->streams.push_back(std::move(s));
  }
  return true;
}

}  // namespace tl::ctl
