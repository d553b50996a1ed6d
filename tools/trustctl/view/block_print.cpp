#include "view/block_print.h"

#include "blocklist/program_block.h"
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

void AddContentJson(const DecodedProgramBlock& b, Json* out) {
  Json& j = *out;
  if ((b.flags & PB_TOKENS) != 0) {
    Json tokens = Json::array();
    for (const auto& t : b.tokens) tokens.push_back(JsonText(t));
    j["tokens"] = tokens;
  }
  if (b.text1) j["text1"] = JsonText(*b.text1);
  if (b.text2) j["text2"] = JsonText(*b.text2);
  if (b.text3) j["text3"] = JsonText(*b.text3);
  if ((b.flags & (PB_VALUE | PB_VALUE_PAIR)) != 0) j["value"] = b.value;
  if ((b.flags & PB_VALUE_PAIR) != 0) j["valueSecond"] = b.valueSecond;
}

Json BlockJson(const DecodedProgramBlock& b) {
  Json j;
  j["name"] = JsonText(b.name);
  j["key"] = Hex64(b.key);
  j["size"] = b.size;
  j["kind"] = b.kind;
  j["loadedTag"] = b.loadedTag;
  j["magic"] = Hex32(b.magic);
  j["transient"] = b.transient;
  j["flags"] = b.flags;
  Json names = Json::array();
  for (const auto& f : kFlagNames) {
    if ((b.flags & f.bit) != 0) names.push_back(f.name);
  }
  j["flagNames"] = names;
  AddContentJson(b, &j);
  if ((b.flags & PB_TIMESTAMP) != 0) {
    j["linkTimeStamp"] = b.linkTimeStamp;
    j["linkTime"] = UnixTimeToUtc(b.linkTimeStamp);
  }
  if ((b.flags & PB_FINGERPRINT) != 0) {
    j["fingerprint"] = Hex64(b.fingerprint);
    j["fileSize"] = static_cast<uint32_t>(b.fingerprint >> 32);
    j["crc"] = Hex32(static_cast<uint32_t>(b.fingerprint));
  }
  Json defects = Json::array();
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    if ((b.defects & bit) != 0) defects.push_back(PbDefectText(bit));
  }
  j["defects"] = defects;
  return j;
}

}  // namespace tl::ctl
