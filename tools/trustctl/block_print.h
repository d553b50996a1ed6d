// Printing one decoded program block, as text and as JSON; dump and diff share
// these so that both show a block the same way.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "blocklist/program_block_decode.h"
#include "json_out.h"

namespace tl::ctl {

// "VALUE|FINGERPRINT", in bit order; unknown bits as "0x..."; "none" for 0.
std::string FlagNames(uint32_t flags);

// Every field, one per line, each line starting with `indent`.
void PrintBlockText(const DecodedProgramBlock& b, const std::string& indent, std::ostream& out);

// One JSON object with every field.
Json BlockJson(const DecodedProgramBlock& b);

}  // namespace tl::ctl
