// Reading a damaged container as far as it can be read, for recover: which
// header to read it with, and of each present stream what its chain still
// gives and what of that payload can be kept (view/payload_salvage.h).
//
// The header: as stored when it passes its checks; otherwise each candidate
// of HeaderCandidates (minifile/header_repair.h) is tried, and the one under
// which the most present streams begin with a payload's tag is used (the
// earlier candidate on a tie), since a wrong geometry or key turns a stream
// into noise. Streams are read with ContainerReader::ReadStreamPrefix, so a
// chain that is cut, loops or runs past the end of the file still gives the
// blocks before its damage.
//
// All of it is read from a copy in memory: a candidate header is written
// over the copy's first 128 bytes, never over the container.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "minifile/container_reader.h"
#include "minifile/header_repair.h"
#include "minifile/memory_file.h"
#include "view/payload_salvage.h"

namespace tl::ctl {

struct SalvagedStream {
  DirEntryInfo entry;            // as the directory records it
  std::vector<uint8_t> payload;  // the bytes read, unscrambled
  Defect chain = Defect::kNone;  // what ended the reading of its chain
  int32_t chain_block = -1;      // where the chain's walk stopped on it
  bool whole() const { return payload.size() == entry.size; }
  PayloadSalvage salvage;
};

struct ContainerSalvage {
  Defect header_defect = Defect::kNone;  // of the header as stored
  bool readable = false;                 // a header could be used
  HeaderCandidate header;                // the one used (kAsStored when sound)
  ContainerReader reader;                // the copy, read with that header
  std::vector<SalvagedStream> streams;   // every present stream, in directory order
};

// Salvages the container whose bytes `copy` holds (a snapshot, which must
// outlive `out`). False when no header can be used (the file is shorter than
// one, or no candidate lies inside the format); `out->header_defect` then
// says what is wrong with the stored one.
bool SalvageContainer(MemoryFile* copy, ContainerSalvage* out);

}  // namespace tl::ctl
