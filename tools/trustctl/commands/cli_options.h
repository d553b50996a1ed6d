// The options several subcommands declare alike.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "edit/write_road.h"

namespace tl::ctl {

// A required positional argument that keeps whatever text is given ("-" included).
CLI::Option* Positional(CLI::App* sub, const char* name, std::string& into, const char* help);

// The options that lift a writing command's refusals; `empty` and `fresh` say
// whether the command can empty a stream and create one.
void DeclareWriteRules(CLI::App* sub, WriteRules& r, bool empty, bool fresh);

}  // namespace tl::ctl
