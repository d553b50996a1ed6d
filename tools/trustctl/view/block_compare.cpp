#include "view/block_compare.h"

#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "io/format.h"
#include "view/block_print.h"

namespace tl::ctl {

std::string Q(const std::u16string& s) { return "\"" + Printable(std::u16string_view(s)) + "\""; }

namespace {

std::string OptText(const std::optional<std::u16string>& s) { return s ? Q(*s) : "(none)"; }

std::string TokensText(const DecodedProgramBlock& b) {
  if ((b.flags & PB_TOKENS) == 0) return "(none)";
  std::string s = "[";
  for (size_t i = 0; i < b.tokens.size(); ++i) s += (i ? " " : "") + Q(b.tokens[i]);
  return s + "]";
}

Json TokensJson(const DecodedProgramBlock& b) {
  if ((b.flags & PB_TOKENS) == 0) return nullptr;
  Json t = Json::array();
  for (const auto& x : b.tokens) t.push_back(JsonText(x));
  return t;
}

Json OptJson(const std::optional<std::u16string>& s) { return s ? JsonText(*s) : Json(nullptr); }

}  // namespace

std::vector<FieldChange> Changes(const DecodedProgramBlock& a, const DecodedProgramBlock& b) {
  std::vector<FieldChange> c;
  auto add = [&](const char* f, const std::string& x, const std::string& y, Json jx, Json jy) {
    if (x != y) c.push_back({f, x, y, std::move(jx), std::move(jy)});
  };
  add("name", Q(a.name), Q(b.name), JsonText(a.name), JsonText(b.name));
  add("flags", FlagNames(a.flags), FlagNames(b.flags), a.flags, b.flags);
  add("kind", std::to_string(a.kind), std::to_string(b.kind), a.kind, b.kind);
  add("tokens", TokensText(a), TokensText(b), TokensJson(a), TokensJson(b));
  add("text1", OptText(a.text1), OptText(b.text1), OptJson(a.text1), OptJson(b.text1));
  add("text2", OptText(a.text2), OptText(b.text2), OptJson(a.text2), OptJson(b.text2));
  add("text3", OptText(a.text3), OptText(b.text3), OptJson(a.text3), OptJson(b.text3));
  add("value", std::to_string(a.value), std::to_string(b.value), a.value, b.value);
  add("valueSecond", std::to_string(a.valueSecond), std::to_string(b.valueSecond), a.valueSecond,
      b.valueSecond);
  add("linkTimeStamp", Hex32(a.linkTimeStamp), Hex32(b.linkTimeStamp), a.linkTimeStamp,
      b.linkTimeStamp);
  add("fingerprint", Hex64(a.fingerprint), Hex64(b.fingerprint), Hex64(a.fingerprint),
      Hex64(b.fingerprint));
  add("size", std::to_string(a.size), std::to_string(b.size), a.size, b.size);
  if (c.empty()) c.push_back({"other bytes", "", "", nullptr, nullptr});
  return c;
}

}  // namespace tl::ctl
