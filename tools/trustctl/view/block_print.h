// Printing one decoded program block, as text and as JSON; dump and diff share
// these so that both show a block the same way.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "blocklist/program_block_decode.h"
#include "io/json_out.h"

namespace tl::ctl {

// "VALUE|FINGERPRINT", in bit order; unknown bits as "0x..."; "none" for 0.
std::string FlagNames(uint32_t flags);

// Every field, one per line, each line starting with `indent`.
void PrintBlockText(const DecodedProgramBlock& b, const std::string& indent, std::ostream& out);

// The entry's content as JSON members, in this order: tokens, text1-3, value,
// valueSecond (each only when the block carries it). dump and export share it.
void AddContentJson(const DecodedProgramBlock& b, Json* out);

// One JSON object with every field.
Json BlockJson(const DecodedProgramBlock& b);

}  // namespace tl::ctl
