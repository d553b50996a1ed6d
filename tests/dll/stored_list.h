// Reads back what a commit stored: the container through the checked reader,
// the stream's payload, and its program blocks decoded.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "blocklist/program_block_decode.h"
#include "entry/list_payload.h"
#include "minifile/header.h"

namespace tl::test {

struct StoredList {
  std::string error;  // empty when the container, stream and payload are sound
  Geometry geometry;
  std::vector<uint8_t> payload;
  ParsedPayload parsed;
  std::vector<DecodedProgramBlock> blocks;
  std::vector<std::u16string> names() const;
};

// The stream `stream` of the container at `container`, checked from the
// header down to every block.
StoredList ReadStoredList(const std::filesystem::path& container, const char16_t* stream);

// True when the container exists and holds a present stream of that name.
bool HasStream(const std::filesystem::path& container, const char16_t* stream);

}  // namespace tl::test
