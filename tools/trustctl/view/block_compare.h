// Comparing two stored entries, for diff and merge: which fields differ (as
// text and as JSON values). Whether they differ at all is the library's rule
// (SameStoredBlock, entry/list_payload.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "blocklist/program_block_decode.h"
#include "io/json_out.h"

namespace tl::ctl {

struct FieldChange {
  std::string field, before, after;
  Json before_json, after_json;  // the values themselves, for --json
};

// The fields that differ; "other bytes" when only bytes outside the fields do.
std::vector<FieldChange> Changes(const DecodedProgramBlock& a, const DecodedProgramBlock& b);

// "\"name\"" as printed.
std::string Q(const std::u16string& s);

}  // namespace tl::ctl
