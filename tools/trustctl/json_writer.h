// A small streaming JSON writer for trustctl's --json output: objects, arrays,
// strings, unsigned numbers and booleans, indented two spaces per level. It
// does not check the caller's nesting beyond what it needs to place commas.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tl::ctl {

class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out) : out_(out) {}
  // Ends the document with a line feed once the outermost value is closed.
  ~JsonWriter();

  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  // The key of the next value inside an object.
  void Key(std::string_view key);

  void String(std::string_view utf8);
  void String(std::u16string_view s);
  void Number(uint64_t v);
  void Bool(bool v);
  void Null();

  // Key and value in one call.
  template <typename T>
  void Field(std::string_view key, const T& value) {
    Key(key);
    Value(value);
  }

 private:
  void Value(std::string_view v) { String(v); }
  void Value(const std::string& v) { String(std::string_view(v)); }
  void Value(const char* v) { String(std::string_view(v)); }
  void Value(std::u16string_view v) { String(v); }
  void Value(const std::u16string& v) { String(std::u16string_view(v)); }
  void Value(bool v) { Bool(v); }
  void Value(uint64_t v) { Number(v); }
  void Value(uint32_t v) { Number(v); }
  void Value(uint16_t v) { Number(v); }
  void Value(int v) { Number(static_cast<uint64_t>(v)); }

  void BeforeValue();
  void Open(char c);
  void Close(char c);
  void Indent();

  std::ostream& out_;
  std::vector<bool> has_items_;  // one per open container
  bool after_key_ = false;
  bool finished_ = false;
};

}  // namespace tl::ctl
