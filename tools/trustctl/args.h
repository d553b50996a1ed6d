// Command-line parsing shared by the subcommands: positional arguments and
// options, in the order given (add relies on the order: each --path starts a
// new program). "--name value" and "--name=value" are both accepted; "--" ends
// the options.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tl::ctl {

struct OptionSpec {
  std::string_view name;  // "--dry-run", "-r"
  bool takes_value;
};

struct Args {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;  // name, value ("" for flags)

  bool Has(std::string_view name) const;
  // The value of the last occurrence of `name`, or null.
  const std::string* Get(std::string_view name) const;
};

// Parses `in` against `spec`. False with a message in *error for an unknown
// option or an option that lacks its value.
bool ParseArgs(const std::vector<std::string>& in, const std::vector<OptionSpec>& spec, Args* out,
               std::string* error);

}  // namespace tl::ctl
