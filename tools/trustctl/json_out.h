// trustctl's JSON: nlohmann/json documents whose keys keep the order in which
// they were set, so that output is stable and reads in a sensible order.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>

#include "common/u16.h"

namespace tl::ctl {

using Json = nlohmann::ordered_json;

// A stored UTF-16 text as a JSON string. Unpaired surrogates cannot be written
// in UTF-8 and become U+FFFD; export keeps such an entry's bytes as well.
inline Json JsonText(std::u16string_view s) { return U16ToUtf8(s); }

// The document indented by two spaces, then a line feed.
inline void PrintJson(std::ostream& out, const Json& doc) {
  out << doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

// One line (jsonl), no indentation.
inline std::string JsonLine(const Json& doc) {
  return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tl::ctl
