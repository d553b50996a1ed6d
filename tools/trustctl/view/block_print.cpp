#include "view/block_print.h"

#include "io/format.h"

namespace tl::ctl {
namespace {

struct FlagName {
  uint32_t bit;
  const char* name;
};
constexpr FlagName kFlagNames[] = {
    {PB_VALUE, "VALUE"},         {PB_VALUE_PAIR, "VALUE_PAIR"},
    {PB_TIMESTAMP, "TIMESTAMP"}, {PB_TEXT2, "TEXT2"},
    {PB_TEXT1, "TEXT1"},         {PB_TOKENS, "TOKENS"},
    {PB_TEXT3, "TEXT3"},         {PB_FINGERPRINT, "FINGERPRINT"},
};

std::string Quoted(const std::u16string& s) {
  return "\"" + Printable(std::u16string_view(s)) + "\"";
}

std::string FingerprintText(uint64_t fp) { return Hex64(fp) + " (size crc " + HashLine(fp) + ")"; }

std::string DefectList(uint32_t defects) {
  std::string s;
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    if ((defects & bit) == 0) continue;
    if (!s.empty()) s += "; ";
    s += PbDefectText(bit);
  }
  return s;
}

}  // namespace

std::string FlagNames(uint32_t flags) {
  if (flags == 0) return "none";
  std::string s;
  uint32_t rest = flags;
  for (const auto& f : kFlagNames) {
    if ((flags & f.bit) == 0) continue;
    if (!s.empty()) s += "|";
    s += f.name;
    rest &= ~f.bit;
  }
  if (rest != 0) s += (s.empty() ? "" : "|") + Hex32(rest);
  return s;
}

void PrintBlockText(const DecodedProgramBlock& b, const std::string& indent, std::ostream& out) {
  out << indent << "name           " << Quoted(b.name) << "\n";
  out << indent << "key            " << Hex64(b.key) << "\n";
  out << indent << "size           " << b.size << "\n";
  out << indent << "kind           " << b.kind << "\n";
  out << indent << "loadedTag      " << Hex16(b.loadedTag) << "\n";
  out << indent << "magic          " << Hex32(b.magic) << (b.magic == 0x5A65564B ? " 'ZeVK'" : "")
      << "\n";
  out << indent << "transient      " << b.transient << "\n";
  out << indent << "flags          " << Hex32(b.flags) << " " << FlagNames(b.flags) << "\n";
  if ((b.flags & PB_TOKENS) != 0) {
    out << indent << "tokens        ";
    if (b.tokens.empty()) out << " (none)";
    for (const auto& t : b.tokens) out << " " << Quoted(t);
    out << "\n";
  }
  if (b.text1) out << indent << "text1          " << Quoted(*b.text1) << "\n";
  if (b.text2) out << indent << "text2          " << Quoted(*b.text2) << "\n";
  if (b.text3) out << indent << "text3          " << Quoted(*b.text3) << "\n";
  if ((b.flags & (PB_VALUE | PB_VALUE_PAIR)) != 0) {
    out << indent << "value          " << b.value << " (" << Hex32(b.value) << ")\n";
  }
  if ((b.flags & PB_VALUE_PAIR) != 0) {
    out << indent << "valueSecond    " << b.valueSecond << " (" << Hex32(b.valueSecond) << ")\n";
  }
  if ((b.flags & PB_TIMESTAMP) != 0) {
    out << indent << "linkTimeStamp  " << Hex32(b.linkTimeStamp) << " "
        << UnixTimeToUtc(b.linkTimeStamp) << "\n";
  }
  if ((b.flags & PB_FINGERPRINT) != 0) {
    out << indent << "fingerprint    " << FingerprintText(b.fingerprint) << "\n";
  }
  if (b.defects != 0) out << indent << "DEFECTS        " << DefectList(b.defects) << "\n";
}

namespace {

template <typename Out>
void PutBlock(Out& out, const DecodedProgramBlock& b) {
  out.BeginObject();
  out.Key("name");
  out.Text(b.name);
  out.Key("key");
  out.String(Hex64Text(b.key).view());
  out.Key("size");
  out.Uint(b.size);
  out.Key("kind");
  out.Uint(b.kind);
  out.Key("loadedTag");
  out.Uint(b.loadedTag);
  out.Key("magic");
  out.String(Hex32Text(b.magic).view());
  out.Key("transient");
  out.Uint(b.transient);
  out.Key("flags");
  out.Uint(b.flags);
  out.Key("flagNames");
  out.BeginArray();
  for (const auto& f : kFlagNames) {
    if ((b.flags & f.bit) != 0) out.String(f.name);
  }
  out.EndArray();
  PutContentMembers(out, b);
  if ((b.flags & PB_TIMESTAMP) != 0) {
    out.Key("linkTimeStamp");
    out.Uint(b.linkTimeStamp);
    out.Key("linkTime");
    out.String(UnixTimeToUtc(b.linkTimeStamp));
  }
  if ((b.flags & PB_FINGERPRINT) != 0) {
    out.Key("fingerprint");
    out.String(Hex64Text(b.fingerprint).view());
    out.Key("fileSize");
    out.Uint(static_cast<uint32_t>(b.fingerprint >> 32));
    out.Key("crc");
    out.String(Hex32Text(static_cast<uint32_t>(b.fingerprint)).view());
  }
  out.Key("defects");
  out.BeginArray();
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    if ((b.defects & bit) != 0) out.String(PbDefectText(bit));
  }
  out.EndArray();
  out.EndObject();
}

}  // namespace

void PutBlockJson(JsonWriter& out, const DecodedProgramBlock& b) { PutBlock(out, b); }

Json BlockJson(const DecodedProgramBlock& b) {
  JsonBuilder out;
  PutBlock(out, b);
  return std::move(out.doc());
}

}  // namespace tl::ctl
