#include "io/json_out.h"

#include <sstream>

namespace tl::ctl {

void PutJson(std::ostream& out, const Json& doc, int depth) {
  // nlohmann's own serializer, started at the indentation of `depth`: the same
  // text as the whole document's dump gives for this part of it.
  std::string text;
  nlohmann::detail::serializer<Json> writer(nlohmann::detail::output_adapter<char>(text), ' ',
                                            nlohmann::json::error_handler_t::replace);
  writer.dump(doc, /*pretty_print=*/true, /*ensure_ascii=*/false, /*indent_step=*/2,
              /*current_indent=*/static_cast<unsigned>(2 * depth));
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::pair<std::string, std::string> AroundHole(const Json& doc, const char* key, int depth) {
  std::ostringstream text;
  PutJson(text, doc, depth);
  const std::string s = text.str();
  const std::string mark =
      "\n" + std::string(static_cast<size_t>(2 * depth + 2), ' ') + "\"" + key + "\": ";
  const std::string hole = std::to_string(kHole);
  const size_t at = s.find(mark + hole);
  const size_t value = at + mark.size();
  return {s.substr(0, value), s.substr(value + hole.size())};
}

}  // namespace tl::ctl
