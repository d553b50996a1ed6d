// Printing one decoded program block, as text and as JSON; dump and diff share
// these so that both show a block the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "blocklist/program_block.h"
#include "blocklist/program_block_decode.h"
#include "io/json_out.h"

namespace tl::ctl {

// "VALUE|FINGERPRINT", in bit order; unknown bits as "0x..."; "none" for 0.
std::string FlagNames(uint32_t flags);

// Every field, one per line, each line starting with `indent`.
void PrintBlockText(const DecodedProgramBlock& b, const std::string& indent, std::ostream& out);

// The entry's content as members of a JSON object, in this order: tokens,
// text1-3, value, valueSecond (each only when the block carries it). The
// block's object below and export's entry share it. `Out` is a JsonWriter or a
// JsonBuilder (io/json_out.h).
template <typename Out>
void PutContentMembers(Out& out, const DecodedProgramBlock& b) {
  if ((b.flags & PB_TOKENS) != 0) {
    out.Key("tokens");
    out.BeginArray();
    for (const auto& t : b.tokens) out.Text(t);
    out.EndArray();
  }
  const std::pair<const char*, const std::optional<std::u16string>*> texts[] = {
      {"text1", &b.text1}, {"text2", &b.text2}, {"text3", &b.text3}};
  for (const auto& [field, text] : texts) {
    if (!*text) continue;
    out.Key(field);
    out.Text(**text);
  }
  if ((b.flags & (PB_VALUE | PB_VALUE_PAIR)) != 0) {
    out.Key("value");
    out.Uint(b.value);
  }
  if ((b.flags & PB_VALUE_PAIR) != 0) {
    out.Key("valueSecond");
    out.Uint(b.valueSecond);
  }
}

// One JSON object with every field: dump and diff write it, merge's report
// holds it as a document.
void PutBlockJson(JsonWriter& out, const DecodedProgramBlock& b);
Json BlockJson(const DecodedProgramBlock& b);

}  // namespace tl::ctl
