#include "commands/cli_options.h"

namespace tl::ctl {

CLI::Option* Positional(CLI::App* sub, const char* name, std::string& into, const char* help) {
  return sub->add_option(name, into, help)->required();
}

void DeclareWriteRules(CLI::App* sub, WriteRules& r, bool empty, bool fresh) {
  if (empty) {
    sub->add_flag("--allow-empty", r.allow_empty,
                  "let a stream that holds entries become empty (refused otherwise, exit 2)");
  }
  sub->add_flag("--allow-collisions", r.allow_collisions,
                "write even when an entry takes the name key of an entry of another name (that "
                "one is lost; both are named, exit 1)");
  if (fresh) {
    sub->add_flag("--new-stream", r.new_stream,
                  "create the stream when the container does not hold it (ProgramList and "
                  "BlockList, which the product reads, need none)");
  }
}

}  // namespace tl::ctl
