#include "json_writer.h"

#include "format.h"

namespace tl::ctl {

JsonWriter::~JsonWriter() {
  if (finished_) out_ << '\n';
}

void JsonWriter::Indent() {
  out_ << '\n';
  for (size_t i = 0; i < has_items_.size(); ++i) out_ << "  ";
}

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!has_items_.empty()) {
    if (has_items_.back()) out_ << ',';
    has_items_.back() = true;
    Indent();
  }
}

void JsonWriter::Open(char c) {
  BeforeValue();
  out_ << c;
  has_items_.push_back(false);
}

void JsonWriter::Close(char c) {
  const bool had_items = !has_items_.empty() && has_items_.back();
  if (!has_items_.empty()) has_items_.pop_back();
  if (had_items) Indent();
  out_ << c;
  if (has_items_.empty()) finished_ = true;
}

void JsonWriter::BeginObject() { Open('{'); }
void JsonWriter::EndObject() { Close('}'); }
void JsonWriter::BeginArray() { Open('['); }
void JsonWriter::EndArray() { Close(']'); }

void JsonWriter::Key(std::string_view key) {
  BeforeValue();
  out_ << JsonQuote(key) << ": ";
  after_key_ = true;
}

void JsonWriter::String(std::string_view utf8) {
  BeforeValue();
  out_ << JsonQuote(utf8);
}

void JsonWriter::String(std::u16string_view s) {
  BeforeValue();
  out_ << JsonQuote(s);
}

void JsonWriter::Number(uint64_t v) {
  BeforeValue();
  out_ << v;
}

void JsonWriter::Bool(bool v) {
  BeforeValue();
  out_ << (v ? "true" : "false");
}

void JsonWriter::Null() {
  BeforeValue();
  out_ << "null";
}

}  // namespace tl::ctl
