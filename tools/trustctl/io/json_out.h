// trustctl's JSON: nlohmann/json documents whose keys keep the order in which
// they were set, so that output is stable and reads in a sensible order; and a
// writer that makes the same text straight into a buffer, for the documents of
// a whole list, which are never held as documents.
#pragma once

#include <cstdint>
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

// Appends JSON text to a buffer, value by value, byte for byte as PrintJson
// (pretty) or JsonLine (compact) writes the document those values make: the
// same indentation, "{}" and "[]" for empty containers, the same escaping of
// strings (UTF-8 as it is; \" \\ \b \f \n \r \t; \u00XX for the other control
// characters; text that is not UTF-8 mended as nlohmann mends it).
//
// Calls must make a well-formed document: in an object, Key before each value.
// Containers nest at most kMaxDepth deep.
class JsonWriter {
 public:
  static constexpr int kMaxDepth = 32;

  // Pretty: indented by two spaces, the outermost value standing at nesting
  // depth `depth` of a bigger document (its first line not indented, the
  // others by 2 * depth). Compact: one line.
  static JsonWriter Pretty(int depth = 0) { return JsonWriter(true, depth); }
  static JsonWriter Compact() { return JsonWriter(false, 0); }

  void BeginObject() { Open('}'); }
  void BeginArray() { Open(']'); }
  void EndObject() { Close(); }
  void EndArray() { Close(); }
  // The key of the next member of the open object.
  void Key(std::string_view key);

  void String(std::string_view utf8);
  void Text(std::u16string_view s);  // as JsonText(s)
  void Uint(uint64_t v);
  void Int(int64_t v);
  void Bool(bool v);
  void Null();
  // A document made elsewhere, in its place here.
  void Value(const Json& v);

  // Text that is not JSON (the line feed between jsonl lines), as it is.
  void Raw(std::string_view text) { text_.append(text); }

  // What is written so far; Clear starts the buffer again and Take hands it
  // over, leaving the buffer empty with room for `room` bytes (the nesting
  // stays either way).
  std::string_view text() const { return text_; }
  void Clear() { text_.clear(); }
  std::string Take(size_t room) {
    std::string taken;
    taken.reserve(room);
    taken.swap(text_);
    return taken;
  }
  // Writes the buffer to `out` and clears it once it holds `at_least` bytes.
  void FlushTo(std::ostream& out, size_t at_least = 0);

 private:
  JsonWriter(bool pretty, int depth) : pretty_(pretty), depth_(depth) {}
  void Open(char close);
  void Close();
  // Before each value: the separator and indentation its place needs.
  void Place();
  void Element();
  void Indent(int depth) {
    if (pretty_) text_.append(2 * static_cast<size_t>(depth), ' ');
  }
  void Escaped(std::string_view s);

  struct Level {
    char close;
    uint32_t count;
  };
  bool pretty_;
  int depth_;
  int top_ = -1;  // index of the innermost open container in levels_
  bool after_key_ = false;
  Level levels_[kMaxDepth] = {};
  std::string text_;
  std::string scratch_;  // UTF-8 of a Text, reused
};

// Builds the document a JsonWriter's calls describe, as a Json: for a shape
// written by one function (a template over the two) that is also wanted as a
// document, to compare or to embed. Strings are kept as given, as JsonText
// keeps them.
class JsonBuilder {
 public:
  // Making the empty document may throw (it allocates): not noexcept.
  JsonBuilder() {}
  void BeginObject() { Push(Json::object()); }
  void BeginArray() { Push(Json::array()); }
  void EndObject() { --top_; }
  void EndArray() { --top_; }
  void Key(std::string_view key) { key_ = key; }
  void String(std::string_view utf8) { Slot() = std::string(utf8); }
  void Text(std::u16string_view s) { Slot() = JsonText(s); }
  void Uint(uint64_t v) { Slot() = v; }
  void Int(int64_t v) { Slot() = v; }
  void Bool(bool v) { Slot() = v; }
  void Null() { Slot() = nullptr; }
  void Value(const Json& v) { Slot() = v; }

  Json& doc() { return doc_; }

 private:
  Json& Slot();
  void Push(Json empty);

  Json doc_;
  Json* levels_[JsonWriter::kMaxDepth] = {};
  int top_ = -1;
  std::string key_;
};

}  // namespace tl::ctl
