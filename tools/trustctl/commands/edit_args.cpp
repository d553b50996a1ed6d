#include "commands/edit_args.h"

#include "edit/edit_session.h"
#include "io/format.h"

namespace tl::ctl {

bool ParseHashPair(const std::vector<std::string>& v, uint32_t* size, uint32_t* crc,
                   std::string* error) {
  if (v.size() != 2 || !ParseHex32(v[0], size) || !ParseHex32(v[1], crc)) {
    *error = "--hash takes SIZE CRC, two hexadecimal numbers of at most 32 bits";
    return false;
  }
  return true;
}

bool ParseTarget(const std::string& text, const WriteRules& rules, WriteOrder* order, Io& io) {
  std::string error;
  order->rules = rules;
  if (!ParseStreamRef(text, &order->ref, &error) || !ValidStreamName(order->ref.stream, &error)) {
    Complain(io, error);
    return false;
  }
  return true;
}

void ReadForEdit(LoadOptions* options, bool missing_ok) {
  options->missing_ok = missing_ok;
  options->require_sound = true;
  options->keep_blocks = true;
}

}  // namespace tl::ctl
