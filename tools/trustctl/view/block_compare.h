// Comparing two stored entries, for diff and merge: whether they say the same
// about a program, and which fields differ (as text and as JSON values).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "blocklist/program_block_decode.h"
#include "io/json_out.h"

namespace tl::ctl {

// The stored bytes that say something about the program: all of the block but
// loadedTag (how a list came by it), the link bytes and transient.
bool SameContent(const uint8_t* a, const uint8_t* b, uint32_t size);

struct FieldChange {
  std::string field, before, after;
  Json before_json, after_json;  // the values themselves, for --json
};

// The fields that differ; "other bytes" when only bytes outside the fields do.
std::vector<FieldChange> Changes(const DecodedProgramBlock& a, const DecodedProgramBlock& b);

// "\"name\"" as printed.
std::string Q(const std::u16string& s);

}  // namespace tl::ctl
