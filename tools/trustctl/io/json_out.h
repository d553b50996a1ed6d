// trustctl's JSON: nlohmann/json documents whose keys keep the order in which
// they were set, so that output is stable and reads in a sensible order.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

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

// Writing a document piece by piece, so that a list of any length is never
// held as a document: the text is exactly what PrintJson gives for the whole.

// Writes `doc` as PrintJson writes it when it sits at nesting depth `depth` of
// a bigger document (its first line not indented, the others by 2 * depth).
void PutJson(std::ostream& out, const Json& doc, int depth);

// A value that marks where a piece written separately belongs.
inline constexpr int64_t kHole = -7700770077007700770;

// The text of `doc` (an object written at depth `depth`) before and after the
// value of its key `key`, which holds kHole. Keys keep the order they were
// set in, so the keys set after `key` follow the piece written in its place.
std::pair<std::string, std::string> AroundHole(const Json& doc, const char* key, int depth);

// Opens a JSON array at depth `depth` whose elements are written one by one.
class ArrayWriter {
 public:
  ArrayWriter(std::ostream& out, int depth) : out_(out), depth_(depth) {}
  // Starts the next element; its text follows at depth depth + 1.
  void Next() {
    out_ << (first_ ? "[\n" : ",\n") << std::string(static_cast<size_t>(2 * depth_ + 2), ' ');
    first_ = false;
  }
  void Put(const Json& element) {
    Next();
    PutJson(out_, element, depth_ + 1);
  }
  void Close() {
    if (first_) {
      out_ << "[]";
    } else {
      out_ << "\n" << std::string(static_cast<size_t>(2 * depth_), ' ') << "]";
    }
  }

 private:
  std::ostream& out_;
  int depth_;
  bool first_ = true;
};

}  // namespace tl::ctl
