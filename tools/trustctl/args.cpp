#include "args.h"

namespace tl::ctl {

bool Args::Has(std::string_view name) const { return Get(name) != nullptr; }

const std::string* Args::Get(std::string_view name) const {
  const std::string* found = nullptr;
  for (const auto& [n, v] : options) {
    if (n == name) found = &v;
  }
  return found;
}

bool ParseArgs(const std::vector<std::string>& in, const std::vector<OptionSpec>& spec, Args* out,
               std::string* error) {
  bool options_done = false;
  for (size_t i = 0; i < in.size(); ++i) {
    const std::string& a = in[i];
    if (options_done || a.size() < 2 || a[0] != '-') {
      out->positional.push_back(a);
      continue;
    }
    if (a == "--") {
      options_done = true;
      continue;
    }
    std::string name = a;
    std::string value;
    bool inline_value = false;
    if (const size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      inline_value = true;
    }
    const OptionSpec* match = nullptr;
    for (const auto& s : spec) {
      if (s.name == name) match = &s;
    }
    if (match == nullptr) {
      *error = "unknown option " + name;
      return false;
    }
    if (match->takes_value && !inline_value) {
      if (i + 1 >= in.size()) {
        *error = "option " + name + " needs a value";
        return false;
      }
      value = in[++i];
    } else if (!match->takes_value && inline_value) {
      *error = "option " + name + " takes no value";
      return false;
    }
    out->options.emplace_back(name, value);
  }
  return true;
}

}  // namespace tl::ctl
