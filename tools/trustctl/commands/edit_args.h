// What add and remove read alike from their command lines: a fingerprint as a
// --hash pair, the target written into, and how the stream to edit is read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "edit/write_road.h"
#include "io/io.h"

namespace tl::ctl {

// SIZE and CRC as a hash list line writes them (hexadecimal, 0x optional).
bool ParseHashPair(const std::vector<std::string>& v, uint32_t* size, uint32_t* crc,
                   std::string* error);

// The target: CONTAINER[:STREAM], written into under `rules`. False after
// saying why (a usage error).
bool ParseTarget(const std::string& text, const WriteRules& rules, WriteOrder* order, Io& io);

// The stream to edit as add and remove read it: every entry, soundly framed.
void ReadForEdit(LoadOptions* options, bool missing_ok);

}  // namespace tl::ctl
