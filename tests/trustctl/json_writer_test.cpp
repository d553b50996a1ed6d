// The JSON writer makes, byte for byte, the text nlohmann's dump makes of the
// same document: strings of any bytes, nesting, empty containers, indentation
// at any depth; and the shapes of a block and of an exported entry, written
// straight or built as documents from the one function each, agree.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "blocklist/program_block_decode.h"
#include "common/le.h"
#include "entry/hash_list.h"
#include "io/format.h"
#include "io/json_out.h"
#include "view/block_print.h"
#include "view/entry_json.h"

namespace tl::test {
namespace {

using ctl::Json;
using ctl::JsonWriter;

std::string NlohmannString(const std::string& s) {
  return Json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string WriterString(const std::string& s) {
  JsonWriter w = JsonWriter::Compact();
  w.String(s);
  return std::string(w.text());
}

// The same string as an object's key.
std::string WriterKey(const std::string& s) {
  JsonWriter w = JsonWriter::Compact();
  w.BeginObject();
  w.Key(s);
  w.Uint(1);
  w.EndObject();
  return std::string(w.text());
}

std::string Hex(const std::string& s) {
  std::string h;
  char buf[4];
  for (const unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02x ", c);
    h += buf;
  }
  return h;
}

void ExpectSameString(const std::string& s) {
  const std::string expected = NlohmannString(s);
  ASSERT_EQ(WriterString(s), expected) << Hex(s);
  ASSERT_EQ(WriterKey(s), "{" + expected + ":1}") << Hex(s);
}

TEST(JsonWriter, EscapesStringsAsNlohmannDoes) {
  const std::string table[] = {
      "",
      "plain text",
      "quote \" and backslash \\ and slash /",
      "\b\f\n\r\t",
      std::string("nul \0 inside", 12),
      "\x01\x1f\x7f",
      "\xc3\xa9t\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80",  // 2-, 3- and 4-byte sequences
      "\xef\xbf\xbd",                                     // U+FFFD itself
      "\x80",                                             // a lone continuation byte
      "a\xff"
      "b",                      // a byte that never starts UTF-8
      "\xc3",                   // cut short at the end
      "\xe2\x82",               // cut short at the end
      "\xe2\x82x",              // cut short in the middle
      "\xc0\xaf",               // overlong
      "\xe0\x80\xaf",           // overlong
      "\xed\xa0\x80",           // a surrogate
      "\xf4\x90\x80\x80",       // above U+10FFFF
      "\xf5\x80\x80\x80",       // no such lead byte
      "\xdc\x80\xdc",           // a text with an escaped byte as U16ToUtf8 gives it
      "x\n\xc3\x28\"\xa0\xa1",  // escapes and bad bytes mixed
  };
  for (const std::string& s : table) ExpectSameString(s);
}

TEST(JsonWriter, EveryShortByteStringMatches) {
  for (int a = 0; a < 256; ++a) {
    ExpectSameString(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) {
      ExpectSameString(std::string{static_cast<char>(a), static_cast<char>(b)});
    }
  }
  // Longer strings from the bytes that decide UTF-8 decoding.
  const unsigned char alphabet[] = {'a',  '"',  '\\', 0x00, 0x1f, 0x7f, 0x80, 0x8f, 0x90,
                                    0x9f, 0xa0, 0xbf, 0xc0, 0xc2, 0xdf, 0xe0, 0xe1, 0xed,
                                    0xee, 0xef, 0xf0, 0xf1, 0xf4, 0xf5, 0xff};
  uint32_t seed = 12345;
  for (int i = 0; i < 200000; ++i) {
    std::string s;
    seed = seed * 1103515245u + 12345u;
    const size_t len = 3 + (seed >> 16) % 6;
    for (size_t k = 0; k < len; ++k) {
      seed = seed * 1103515245u + 12345u;
      s.push_back(static_cast<char>(alphabet[(seed >> 16) % sizeof alphabet]));
    }
    ExpectSameString(s);
  }
}

// Writes `doc` through a writer's (or a builder's) calls, member by member.
template <typename Out>
void Walk(Out& w, const Json& doc) {
  if (doc.is_object()) {
    w.BeginObject();
    for (auto it = doc.begin(); it != doc.end(); ++it) {
      w.Key(it.key());
      Walk(w, it.value());
    }
    w.EndObject();
  } else if (doc.is_array()) {
    w.BeginArray();
    for (const Json& e : doc) Walk(w, e);
    w.EndArray();
  } else if (doc.is_string()) {
    w.String(doc.get<std::string>());
  } else if (doc.is_number_unsigned()) {
    w.Uint(doc.get<uint64_t>());
  } else if (doc.is_number_integer()) {
    w.Int(doc.get<int64_t>());
  } else if (doc.is_boolean()) {
    w.Bool(doc.get<bool>());
  } else {
    ASSERT_TRUE(doc.is_null());
    w.Null();
  }
}

// What nlohmann writes of `doc` standing at `depth` of a bigger document.
std::string DumpAt(const Json& doc, int depth) {
  std::string text;
  nlohmann::detail::serializer<Json> s(nlohmann::detail::output_adapter<char>(text), ' ',
                                       nlohmann::json::error_handler_t::replace);
  s.dump(doc, true, false, 2, static_cast<unsigned>(2 * depth));
  return text;
}

TEST(JsonWriter, DocumentsMatchPrettyAndCompactDumps) {
  const Json docs[] = {
      Json::object(),
      Json::array(),
      Json(0u),
      Json(-1),
      Json(nullptr),
      Json::parse(R"({"a": {}, "b": [], "c": [[]], "d": [{}], "e": {"f": {"g": []}}})"),
      Json::parse(R"([1, [2, [3, []]], {"k": [true, false, null]}, "s"])"),
      Json{{"max", UINT64_MAX}, {"min", INT64_MIN}, {"neg", -42}, {"zero", 0u}},
      Json{{"key \"quoted\"\n", "value\t"}, {"\xc3\xa9", {1u, 2u}}, {"bad \xff", "bad \xfe"}},
  };
  for (const Json& doc : docs) {
    SCOPED_TRACE(ctl::JsonLine(doc));
    for (int depth : {0, 1, 3}) {
      JsonWriter pretty = JsonWriter::Pretty(depth);
      Walk(pretty, doc);
      EXPECT_EQ(pretty.text(), DumpAt(doc, depth));
    }
    JsonWriter compact = JsonWriter::Compact();
    Walk(compact, doc);
    EXPECT_EQ(compact.text(), ctl::JsonLine(doc));
    // Embedded whole, inside an object and an array.
    for (const bool in_object : {true, false}) {
      const Json outer = in_object ? Json{{"x", doc}, {"y", 1u}} : Json::array({doc, 1u});
      JsonWriter w = JsonWriter::Pretty(2);
      if (in_object) {
        w.BeginObject();
        w.Key("x");
        w.Value(doc);
        w.Key("y");
      } else {
        w.BeginArray();
        w.Value(doc);
      }
      w.Uint(1);
      in_object ? w.EndObject() : w.EndArray();
      EXPECT_EQ(w.text(), DumpAt(outer, 2));
    }
    // The builder makes the document the calls describe.
    ctl::JsonBuilder b;
    Walk(b, doc);
    EXPECT_EQ(b.doc(), doc);
  }
}

// A block in the builders' layout, stored as a list stores it.
std::vector<uint8_t> Assemble(const std::u16string& name, const std::vector<std::u16string>& tokens,
                              const std::u16string* text1, const std::u16string* text3,
                              uint32_t flags) {
  ProgramBlockFields f;
  f.name = PbString{name.data(), name.size()};
  for (size_t i = 0; i < tokens.size(); ++i)
    f.tokens[i] = PbString{tokens[i].data(), tokens[i].size()};
  f.token_count = tokens.size();
  if (text1 != nullptr) f.text1 = PbString{text1->data(), text1->size()};
  if (text3 != nullptr) f.text3 = PbString{text3->data(), text3->size()};
  f.flags = flags;
  f.value = 7;
  f.value_second = 0xFFFFFFFFu;
  f.link_time_stamp = 0x5F5E1000;
  f.fingerprint = 0x0000200012345678ull;
  std::vector<uint8_t> w(4096, 0);
  w.resize(AssembleProgramBlock(f, w.data(), w.size()));
  StoreU32(w.data(), kBlockMagicOffset, kBlockMagic);
  return w;
}

TEST(JsonWriter, BlockAndEntryShapesMatchTheirDocuments) {
  const std::u16string text1 = u"first \"quoted\"\n", text3 = u"\u00e9\U0001F600 \x01";
  std::vector<std::vector<uint8_t>> blocks = {
      Assemble(u"C:\\T\\app.exe", {u"a", u"b"}, &text1, &text3,
               PB_TOKENS | PB_TEXT1 | PB_TEXT3 | PB_VALUE_PAIR | PB_TIMESTAMP),
      Assemble(u"bare", {}, nullptr, nullptr, PB_VALUE | PB_FINGERPRINT),
      Assemble(u"none", {}, nullptr, nullptr, 0),
      Assemble(u"tokens", {}, nullptr, nullptr, PB_TOKENS),  // flagged, no token stored
  };
  std::vector<uint8_t> hash(kHashBlockSize);
  BuildHashBlock(hash.data(), 0x2000, 0x1234ABCD);
  StoreU32(hash.data(), kBlockMagicOffset, kBlockMagic);
  blocks.push_back(hash);
  // Odd entries, which export writes with their bytes.
  blocks.push_back(hash);
  StoreU32(blocks.back().data(), 36, 0xABCD);  // reserved bytes not zero
  blocks.push_back(hash);
  StoreU16(blocks.back().data(), kPbPoolStart + 2, 0xD800);  // an unpaired surrogate
  blocks.push_back(hash);
  StoreU16(blocks.back().data(), kPbPoolStart + 2, 0xDC80);  // an escaped byte
  blocks.push_back(hash);
  StoreU32(blocks.back().data(), kPbFlagsOffset, 0x100 | PB_FINGERPRINT);  // unknown flag
  blocks.push_back(hash);
  StoreU16(blocks.back().data(), kPbPoolStart, 0x1F);  // a control character in the name

  std::vector<uint8_t> scratch;
  for (size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE(i);
    const std::vector<uint8_t>& bytes = blocks[i];
    ASSERT_GE(bytes.size(), kPbFixedBytes);
    DecodedProgramBlock d;
    DecodeProgramBlock(bytes.data(), bytes.size(), &d);
    JsonWriter block = JsonWriter::Pretty(3);
    ctl::PutBlockJson(block, d);
    EXPECT_EQ(block.text(), DumpAt(ctl::BlockJson(d), 3));
    JsonWriter entry = JsonWriter::Compact();
    ctl::PutEntryJson(entry, bytes.data(), d, &scratch);
    const Json doc = ctl::EntryToJson(bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(entry.text(), ctl::JsonLine(doc));
    EXPECT_EQ(doc.contains("bytes"), i >= 5) << doc.dump();
  }
}

TEST(JsonWriter, HexTextsAreThePrintedForms) {
  const uint64_t values[] = {0, 1, 0xF, 0x10, 0xDEADBEEF, 0x123456789ABCDEF0ull, UINT64_MAX};
  char buf[24];
  for (const uint64_t v : values) {
    std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(v));
    EXPECT_EQ(ctl::Hex64Text(v).view(), buf);
    EXPECT_EQ(ctl::Hex64(v), buf);
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<uint32_t>(v));
    EXPECT_EQ(ctl::Hex32Text(static_cast<uint32_t>(v)).view(), buf);
    EXPECT_EQ(ctl::Hex32(static_cast<uint32_t>(v)), buf);
    std::snprintf(buf, sizeof buf, "0x%04x", static_cast<unsigned>(v & 0xFFFF));
    EXPECT_EQ(ctl::Hex16(static_cast<uint16_t>(v)), buf);
  }
}

}  // namespace
}  // namespace tl::test
