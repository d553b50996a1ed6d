#include "io/json_out.h"

#include <charconv>

namespace tl::ctl {
namespace {

// The escape of each byte below 0x80 that JSON needs escaped ('\0' none,
// 'u' the \u00XX form), as nlohmann writes them.
constexpr char EscapeOf(uint8_t c) {
  switch (c) {
    case '\b':
      return 'b';
    case '\t':
      return 't';
    case '\n':
      return 'n';
    case '\f':
      return 'f';
    case '\r':
      return 'r';
    case '"':
      return '"';
    case '\\':
      return '\\';
    default:
      return c < 0x20 ? 'u' : '\0';
  }
}

// The length of the well-formed UTF-8 sequence at s[i] (a lead byte of 0x80
// or more), or 0: the sequences of the Unicode standard's table of
// well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF), which are the sequences nlohmann's decoder accepts.
size_t SequenceAt(std::string_view s, size_t i) {
  const auto c = static_cast<uint8_t>(s[i]);
  size_t len = 0;
  uint8_t lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c == 0xE0) {
    len = 3;
    lo = 0xA0;
  } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
    len = 3;
  } else if (c == 0xED) {
    len = 3;
    hi = 0x9F;
  } else if (c == 0xF0) {
    len = 4;
    lo = 0x90;
  } else if (c >= 0xF1 && c <= 0xF3) {
    len = 4;
  } else if (c == 0xF4) {
    len = 4;
    hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  const auto second = static_cast<uint8_t>(s[i + 1]);
  if (second < lo || second > hi) return 0;
  for (size_t k = 2; k < len; ++k) {
    if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return len;
}

void DumpWithNlohmann(std::string* out, const Json& v, bool pretty, int depth) {
  nlohmann::detail::serializer<Json> writer(nlohmann::detail::output_adapter<char>(*out), ' ',
                                            nlohmann::json::error_handler_t::replace);
  writer.dump(v, pretty, /*ensure_ascii=*/false, /*indent_step=*/2,
              /*current_indent=*/static_cast<unsigned>(2 * depth));
}

}  // namespace

void JsonWriter::Escaped(std::string_view s) {
  const size_t start = text_.size();
  text_.push_back('"');
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<uint8_t>(s[i]);
    if (c >= 0x80) {
      const size_t len = SequenceAt(s, i);
      if (len == 0) {
        // Not UTF-8: nlohmann's own mending, which this rare text is left to.
        text_.resize(start);
        DumpWithNlohmann(&text_, Json(std::string(s)), false, 0);
        return;
      }
      i += len;
      continue;
    }
    const char e = EscapeOf(c);
    if (e == '\0') {
      ++i;
      continue;
    }
    text_.append(s.data() + run, i - run);
    text_.push_back('\\');
    if (e == 'u') {
      constexpr char kHex[] = "0123456789abcdef";
      text_.append("u00");
      text_.push_back(kHex[c >> 4]);
      text_.push_back(kHex[c & 15]);
    } else {
      text_.push_back(e);
    }
    run = ++i;
  }
  text_.append(s.data() + run, s.size() - run);
  text_.push_back('"');
}

void JsonWriter::Element() {
  Level& l = levels_[top_];
  if (l.count++ == 0) {
    text_.push_back(l.close == '}' ? '{' : '[');
  } else {
    text_.push_back(',');
  }
  if (pretty_) text_.push_back('\n');
  Indent(depth_ + top_ + 1);
}

void JsonWriter::Place() {
  if (after_key_) {
    after_key_ = false;
  } else if (top_ >= 0) {
    Element();
  }
}

void JsonWriter::Open(char close) {
  Place();
  levels_[++top_] = {close, 0};
}

void JsonWriter::Close() {
  const Level l = levels_[top_--];
  if (l.count == 0) {
    text_.append(l.close == '}' ? "{}" : "[]");
    return;
  }
  if (pretty_) {
    text_.push_back('\n');
    Indent(depth_ + top_ + 1);
  }
  text_.push_back(l.close);
}

void JsonWriter::Key(std::string_view key) {
  Element();
  Escaped(key);
  text_.append(pretty_ ? ": " : ":");
  after_key_ = true;
}

void JsonWriter::String(std::string_view utf8) {
  Place();
  Escaped(utf8);
}

void JsonWriter::Text(std::u16string_view s) {
  bool ascii = true;
  for (const char16_t u : s) ascii = ascii && u < 0x80;
  if (!ascii) {
    scratch_ = U16ToUtf8(s);
    String(scratch_);
    return;
  }
  // ASCII is its own UTF-8: no conversion.
  scratch_.resize(s.size());
  for (size_t i = 0; i < s.size(); ++i) scratch_[i] = static_cast<char>(s[i]);
  String(scratch_);
}

void JsonWriter::Uint(uint64_t v) {
  Place();
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  text_.append(buf, r.ptr);
}

void JsonWriter::Int(int64_t v) {
  Place();
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  text_.append(buf, r.ptr);
}

void JsonWriter::Bool(bool v) {
  Place();
  text_.append(v ? "true" : "false");
}

void JsonWriter::Null() {
  Place();
  text_.append("null");
}

void JsonWriter::Value(const Json& v) {
  switch (v.type()) {
    case Json::value_t::string:
      String(v.get_ref<const std::string&>());
      return;
    case Json::value_t::number_unsigned:
      Uint(v.get<uint64_t>());
      return;
    case Json::value_t::null:
      Null();
      return;
    default:
      Place();
      DumpWithNlohmann(&text_, v, pretty_, depth_ + top_ + 1);
  }
}

void JsonWriter::FlushTo(std::ostream& out, size_t at_least) {
  if (text_.empty() || text_.size() < at_least) return;
  out.write(text_.data(), static_cast<std::streamsize>(text_.size()));
  text_.clear();
}

Json& JsonBuilder::Slot() {
  if (top_ < 0) return doc_;
  Json& level = *levels_[top_];
  if (level.is_object()) return level[key_];
  level.push_back(nullptr);
  return level.back();
}

void JsonBuilder::Push(Json empty) {
  Json& slot = Slot();
  slot = std::move(empty);
  levels_[++top_] = &slot;
}

}  // namespace tl::ctl
