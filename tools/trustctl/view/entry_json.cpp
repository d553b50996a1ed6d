#include "view/entry_json.h"

#include <cstring>

#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/u16.h"
#include "entry/list_payload.h"
#include "io/format.h"
#include "view/block_print.h"

namespace tl::ctl {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The block the builders would make for these fields (the library's one
// assembly), into *out; empty when they do not fit one block.
void BuildCanonical(const DecodedProgramBlock& f, std::vector<uint8_t>* out) {
  out->clear();
  ProgramBlockFields fields;
  fields.name = PbString{f.name.data(), f.name.size()};
  if (f.tokens.size() > kPbTokenSlots) return;
  for (size_t i = 0; i < f.tokens.size(); ++i) {
    fields.tokens[i] = PbString{f.tokens[i].data(), f.tokens[i].size()};
  }
  fields.token_count = f.tokens.size();
  auto text = [](const std::optional<std::u16string>& t) {
    return t ? PbString{t->data(), t->size()} : PbString{};
  };
  fields.text1 = text(f.text1);
  fields.text2 = text(f.text2);
  fields.text3 = text(f.text3);
  fields.flags = f.flags;
  fields.value = f.value;
  fields.value_second = f.valueSecond;
  fields.link_time_stamp = f.linkTimeStamp;
  fields.fingerprint = f.fingerprint;
  fields.kind = f.kind;
  size_t units = f.name.size() + 2;
  for (const auto& t : f.tokens) units += t.size() + 2;
  for (const auto* t : {&f.text1, &f.text2, &f.text3}) units += *t ? (*t)->size() + 2 : 0;
  if (units > kPbMaxPoolUnits) return;
  out->assign(PbSizeForUnits(static_cast<uint32_t>(units)), 0);
  const uint32_t size = AssembleProgramBlock(fields, out->data(), out->size());
  out->resize(size);
  if (size != 0) StampSerializedHeader(out->data());  // compared with stored bytes
}

std::vector<uint8_t> BuildCanonical(const DecodedProgramBlock& f) {
  std::vector<uint8_t> w;
  BuildCanonical(f, &w);
  return w;
}

// Equal as stored entries, by the library's rule.
bool SameStored(const uint8_t* a, const std::vector<uint8_t>& b, uint32_t size) {
  return b.size() == size && SameStoredBlock(a, b.data(), size);
}

// The members every entry's object has: name, key, kind, flags, the content,
// linkTimeStamp and fingerprint when the flags announce them.
template <typename Out>
void PutFieldMembers(Out& out, const DecodedProgramBlock& b) {
  out.Key("name");
  out.Text(b.name);
  out.Key("key");
  out.String(Hex64Text(b.key).view());
  out.Key("kind");
  out.Uint(b.kind);
  out.Key("flags");
  out.Uint(b.flags);
  PutContentMembers(out, b);
  if ((b.flags & PB_TIMESTAMP) != 0) {
    out.Key("linkTimeStamp");
    out.Uint(b.linkTimeStamp);
  }
  if ((b.flags & PB_FINGERPRINT) != 0) {
    out.Key("fingerprint");
    out.String(Hex64Text(b.fingerprint).view());
  }
}

Json FieldsJson(const DecodedProgramBlock& b) {
  JsonBuilder out;
  out.BeginObject();
  PutFieldMembers(out, b);
  out.EndObject();
  return std::move(out.doc());
}

// Whether a text comes back the same from the UTF-8 that JSON holds it as:
// only one with surrogates can fail to.
bool SurvivesUtf8(const std::u16string& s) {
  for (const char16_t u : s) {
    if (u >= 0xD800 && u <= 0xDFFF) return Utf8ToU16(U16ToUtf8(s)) == s;
  }
  return true;
}

// Whether the fields of `b`, decoded from `block`, fail to rebuild the stored
// bytes exactly, so that the entry carries them too. `scratch` holds the
// rebuilt block.
bool NeedsBytes(const uint8_t* block, uint32_t size, const DecodedProgramBlock& b,
                std::vector<uint8_t>* scratch) {
  if (b.defects != 0) return true;
  bool survives = SurvivesUtf8(b.name);
  for (const auto& t : b.tokens) survives = survives && SurvivesUtf8(t);
  for (const auto* t : {&b.text1, &b.text2, &b.text3}) {
    survives = survives && (!*t || SurvivesUtf8(**t));
  }
  if (!survives) return true;
  BuildCanonical(b, scratch);
  return !SameStored(block, *scratch, size);
}

template <typename Out>
void PutEntry(Out& out, const uint8_t* block, uint32_t size, const DecodedProgramBlock& b,
              std::vector<uint8_t>* scratch) {
  out.BeginObject();
  PutFieldMembers(out, b);
  if (NeedsBytes(block, size, b, scratch)) {
    out.Key("bytes");
    out.String(Base64Encode(block, size));
  }
  out.EndObject();
}

template <typename T>
bool GetNumber(const Json& j, const char* field, T max, T* out, std::string* error) {
  const auto it = j.find(field);
  if (it == j.end()) {
    *error = std::string("field \"") + field + "\" is missing";
    return false;
  }
  if (!it->is_number_unsigned() || it->get<uint64_t>() > max) {
    *error = std::string("field \"") + field + "\" must be a number from 0 to " +
             std::to_string(static_cast<uint64_t>(max));
    return false;
  }
  *out = static_cast<T>(it->get<uint64_t>());
  return true;
}

bool GetText(const Json& j, const char* field, std::u16string* out, std::string* error) {
  const auto it = j.find(field);
  if (it == j.end() || !it->is_string()) {
    *error = std::string("field \"") + field + "\" must be a string";
    return false;
  }
  *out = Utf8ToU16(it->get<std::string>());
  return true;
}

bool GetHex64(const Json& j, const char* field, uint64_t* out, std::string* error) {
  const auto it = j.find(field);
  std::string s = it != j.end() && it->is_string() ? it->get<std::string>() : "";
  if (s.size() != 18 || s.rfind("0x", 0) != 0 ||
      s.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos) {
    *error = std::string("field \"") + field + "\" must be \"0x\" and 16 hexadecimal digits";
    return false;
  }
  *out = std::stoull(s.substr(2), nullptr, 16);
  return true;
}

// The flags an entry's fields say it has, for an entry written by hand
// without "flags": each field present sets its flag ("valueSecond" makes
// "value" the first of a pair).
uint32_t FlagsOfFields(const Json& j) {
  uint32_t flags = 0;
  const struct {
    const char* field;
    uint32_t flag;
  } fields[] = {{"tokens", PB_TOKENS},
                {"text1", PB_TEXT1},
                {"text2", PB_TEXT2},
                {"text3", PB_TEXT3},
                {"linkTimeStamp", PB_TIMESTAMP},
                {"fingerprint", PB_FINGERPRINT}};
  for (const auto& f : fields) flags |= j.contains(f.field) ? f.flag : 0;
  if (j.contains("valueSecond")) {
    flags |= PB_VALUE_PAIR;
  } else if (j.contains("value")) {
    flags |= PB_VALUE;
  }
  return flags;
}

// The fields of an object as a decoded block, checked for type and range.
// "key", "kind" and "flags" may be left out (computed from the name, a program
// block, from the fields present); given, FirstDifference holds them to what
// the entry is.
bool ReadFields(const Json& j, DecodedProgramBlock* f, std::string* error) {
  if (!GetText(j, "name", &f->name, error)) return false;
  f->kind = kPbKind;
  f->flags = FlagsOfFields(j);
  if ((j.contains("kind") && !GetNumber<uint16_t>(j, "kind", 0xFFFF, &f->kind, error)) ||
      (j.contains("flags") && !GetNumber<uint32_t>(j, "flags", kPbKnownFlags, &f->flags, error)) ||
      (j.contains("key") && !GetHex64(j, "key", &f->key, error))) {
    return false;
  }
  if ((f->flags & PB_TOKENS) != 0) {
    const auto it = j.find("tokens");
    if (it == j.end() || !it->is_array() || it->size() > kPbTokenSlots) {
      *error = "field \"tokens\" must be an array of at most 4 strings (flags hold TOKENS)";
      return false;
    }
    for (const Json& t : *it) {
      if (!t.is_string() || t.get<std::string>().empty()) {
        *error = "field \"tokens\" must hold non-empty strings";
        return false;
      }
      f->tokens.push_back(Utf8ToU16(t.get<std::string>()));
    }
  }
  const struct {
    uint32_t flag;
    const char* field;
    std::optional<std::u16string>* into;
  } texts[] = {{PB_TEXT1, "text1", &f->text1},
               {PB_TEXT2, "text2", &f->text2},
               {PB_TEXT3, "text3", &f->text3}};
  for (const auto& t : texts) {
    if ((f->flags & t.flag) == 0) continue;
    std::u16string s;
    if (!GetText(j, t.field, &s, error)) return false;
    *t.into = s;
  }
  if ((f->flags & (PB_VALUE | PB_VALUE_PAIR)) != 0 &&
      !GetNumber<uint32_t>(j, "value", 0xFFFFFFFFu, &f->value, error)) {
    return false;
  }
  if ((f->flags & PB_VALUE_PAIR) != 0 &&
      !GetNumber<uint32_t>(j, "valueSecond", 0xFFFFFFFFu, &f->valueSecond, error)) {
    return false;
  }
  if ((f->flags & PB_TIMESTAMP) != 0 &&
      !GetNumber<uint32_t>(j, "linkTimeStamp", 0xFFFFFFFFu, &f->linkTimeStamp, error)) {
    return false;
  }
  if ((f->flags & PB_FINGERPRINT) != 0 && !GetHex64(j, "fingerprint", &f->fingerprint, error)) {
    return false;
  }
  return true;
}

// The first field in which two objects differ, for a message.
std::string FirstDifference(const Json& given, const Json& expected) {
  for (auto it = given.begin(); it != given.end(); ++it) {
    if (it.key() == "bytes") continue;
    if (!expected.contains(it.key())) {
      return "field \"" + it.key() + "\" does not belong to this entry (see its flags)";
    }
    if (expected[it.key()] != it.value()) {
      return "field \"" + it.key() + "\" is " + JsonLine(it.value()) + ", the entry gives " +
             JsonLine(expected[it.key()]);
    }
  }
  for (auto it = expected.begin(); it != expected.end(); ++it) {
    const bool optional = it.key() == "key" || it.key() == "kind" || it.key() == "flags";
    if (!given.contains(it.key()) && !optional) return "field \"" + it.key() + "\" is missing";
  }
  return "";
}

}  // namespace

std::string Base64Encode(const uint8_t* data, size_t len) {
  std::string out;
  out.reserve((len + 2) / 3 * 4);
  for (size_t i = 0; i < len; i += 3) {
    const uint32_t n = (uint32_t{data[i]} << 16) | (i + 1 < len ? uint32_t{data[i + 1]} << 8 : 0) |
                       (i + 2 < len ? data[i + 2] : 0);
    out.push_back(kBase64[(n >> 18) & 63]);
    out.push_back(kBase64[(n >> 12) & 63]);
    out.push_back(i + 1 < len ? kBase64[(n >> 6) & 63] : '=');
    out.push_back(i + 2 < len ? kBase64[n & 63] : '=');
  }
  return out;
}

bool Base64Decode(const std::string& text, std::vector<uint8_t>* out) {
  if (text.size() % 4 != 0) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t n = 0;
    int pad = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      const char* p = c == '\0' ? nullptr : std::strchr(kBase64, c);
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        ++pad;
        n <<= 6;
        continue;
      }
      if (p == nullptr || pad != 0) return false;
      n = (n << 6) | static_cast<uint32_t>(p - kBase64);
    }
    out->push_back(static_cast<uint8_t>(n >> 16));
    if (pad < 2) out->push_back(static_cast<uint8_t>(n >> 8));
    if (pad < 1) out->push_back(static_cast<uint8_t>(n));
  }
  return true;
}

void PutEntryJson(JsonWriter& out, const uint8_t* block, const DecodedProgramBlock& b,
                  std::vector<uint8_t>* scratch) {
  PutEntry(out, block, b.size, b, scratch);
}

Json EntryToJson(const uint8_t* block, uint32_t size) {
  DecodedProgramBlock b;
  DecodeProgramBlock(block, size, &b);
  JsonBuilder out;
  std::vector<uint8_t> scratch;
  PutEntry(out, block, size, b, &scratch);
  return std::move(out.doc());
}

bool EntryFromJson(const Json& entry, std::vector<uint8_t>* block, std::string* error) {
  if (!entry.is_object()) {
    *error = "not a JSON object";
    return false;
  }
  const auto bytes = entry.find("bytes");
  if (bytes != entry.end()) {
    if (!bytes->is_string() || !Base64Decode(bytes->get<std::string>(), block)) {
      *error = "field \"bytes\" is not base64";
      return false;
    }
    if (block->size() < kPbFixedBytes || block->size() > kMaxBlockSize ||
        LoadU32(block->data(), kBlockSizeOffset) != block->size()) {
      *error = "field \"bytes\" does not hold one whole program block";
      return false;
    }
    // Stored as a list stores it: magic, no link remains, transient 0.
    StoreU32(block->data(), kBlockMagicOffset, kBlockMagic);
    std::memset(block->data() + kBlockLinkRestOffset, 0, kBlockLinkRestSize);
    Json expected = EntryToJson(block->data(), static_cast<uint32_t>(block->size()));
    expected.erase("bytes");
    const std::string diff = FirstDifference(entry, expected);
    if (!diff.empty()) {
      *error = diff +
               " (an entry with \"bytes\" is changed by changing its bytes, or by"
               " dropping them to rebuild it from its fields)";
      return false;
    }
    return true;
  }
  DecodedProgramBlock f;
  if (!ReadFields(entry, &f, error)) return false;
  *block = BuildCanonical(f);
  if (block->empty()) {
    *error = "the entry's texts do not fit in one program block";
    return false;
  }
  StoreU32(block->data(), kBlockMagicOffset, kBlockMagic);
  const std::string diff = FirstDifference(entry, FieldsJson([&] {
                                             DecodedProgramBlock b;
                                             DecodeProgramBlock(block->data(), block->size(), &b);
                                             return b;
                                           }()));
  if (!diff.empty()) {
    *error = diff;
    return false;
  }
  return true;
}

}  // namespace tl::ctl
