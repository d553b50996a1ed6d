// One list entry as a JSON object, for export and apply. Every field of the
// entry is written; an entry that the fields cannot rebuild byte for byte (its
// layout is not the builders' layout: reserved bytes not zero, a key that is
// not its name's key, pool entries in another order, a loaded tag, texts that
// are not valid UTF-16...) also carries "bytes", the stored block in base64,
// so that nothing is lost.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "blocklist/program_block_decode.h"
#include "io/json_out.h"

namespace tl::ctl {

// The entry's object: name, key, kind, flags, then each attribute its flags
// announce (tokens, text1, text2, text3, value, valueSecond, linkTimeStamp,
// fingerprint), then "bytes" when needed. Written for `b`, the block decoded
// from `block` with its bounds sound (b.size bytes of it); `scratch` is reused
// from entry to entry for the block the fields rebuild.
void PutEntryJson(JsonWriter& out, const uint8_t* block, const DecodedProgramBlock& b,
                  std::vector<uint8_t>* scratch);
// The same object as a document, for the `size` bytes at `block`.
Json EntryToJson(const uint8_t* block, uint32_t size);

// The block an object describes: from "bytes" when present (the other fields
// must then be exactly those the bytes give), else built in the builders'
// layout from the fields, which must agree with each other (flags with the
// attributes present, key with the name). False with *error naming the field.
bool EntryFromJson(const Json& entry, std::vector<uint8_t>* block, std::string* error);

// Base64 (RFC 4648, with padding).
std::string Base64Encode(const uint8_t* data, size_t len);
bool Base64Decode(const std::string& text, std::vector<uint8_t>* out);

}  // namespace tl::ctl
