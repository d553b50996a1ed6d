// The command line: the tool's own options and help, and the table of
// subcommands, each of which declares its options and help in its own file
// (command.h). `trustctl --help` prints the help of every command, so that it
// is the complete reference (the manual page is made from it).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <new>
#include <string_view>

#include "commands/command.h"
#include "trustctl.h"
#include "trustlist_version.h"

namespace tl::ctl {
namespace {

constexpr const char* kDescription =
    "trustctl: inspect, verify, compare, test, edit and recover trust list containers.\n"
    "A list is named as CONTAINER[:STREAM]; STREAM defaults to ProgramList. A name\n"
    "that exists is the container, colons and all; otherwise STREAM follows the\n"
    "last colon (a drive letter's colon is part of the path). An empty STREAM or a\n"
    "trailing colon is refused. '-' is standard input where a hash list or jsonl\n"
    "file is read, and standard output for -o. Hash lists and jsonl files may be\n"
    "UTF-8 (with or without a byte order mark) or UTF-16 with a byte order mark.";

constexpr const char* kFooter =
    "exit codes:\n"
    "  0  done (verify, lint: sound; diff: no differences; test: every file allowed;\n"
    "     merge: no conflict)\n"
    "  1  verify or lint found defects; diff found differences; test: a file is not\n"
    "     listed; merge reported conflicts; remove missed a name; apply --check: the\n"
    "     list would change; a collision (two names, one key) was reported, the list\n"
    "     written only with --allow-collisions; recover dropped something\n"
    "  2  a file could not be read or written, its contents cannot be used (a\n"
    "     container verify finds damaged is never written to; an entry kept byte\n"
    "     for byte is a finding, not damage), the list would not fit, another\n"
    "     writer held the container for 5 seconds, or a write was refused: an\n"
    "     existing empty file as the container, a stream left empty without\n"
    "     --allow-empty, an input with no usable line, a stream the container does\n"
    "     not hold without --new-stream (ProgramList and BlockList need none), an\n"
    "     output or input that is the container itself; recover could recover\n"
    "     nothing, or its NEW exists\n"
    "  3  the command line is wrong, or a stream name differs only in case from\n"
    "     one the container holds or the product reads\n"
    "  4  test: a file is blocked\n"
    "\n"
    "Containers are written only after everything was read, built and checked; a\n"
    "failed write leaves the older stream in place. Only regular files are\n"
    "containers. Every other file trustctl writes (export -o) is written beside its\n"
    "target and renamed over it; a FIFO, a device or a terminal is written directly.";

// The subcommands, in the order --help shows them.
constexpr Runner (*kCommands[])(CLI::App&) = {
    DeclareHash,   DeclareDump, DeclareVerify,  DeclareImport, DeclareAdd,
    DeclareRemove, DeclareDiff, DeclareExport,  DeclareApply,  DeclareTest,
    DeclareMerge,  DeclareLint, DeclareRecover,
};

// Declares the whole command line; runners[i] runs the i-th subcommand of
// app.get_subcommands({}).
void Declare(CLI::App& app, std::vector<Runner>* runners, bool* quiet, bool* no_notify) {
  app.description(kDescription);
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("trustctl ") + TRUSTLIST_VERSION_STRING,
                       "print the version and exit");
  app.add_flag("-q,--quiet", *quiet, "print only errors and the summary");
  app.add_flag("--no-notify", *no_notify,
               "after writing a list, do not tell the running product (Windows; POSIX builds "
               "have no product to tell)");
  app.require_subcommand(1, 1);
  app.fallthrough();
  for (const auto declare : kCommands) runners->push_back(declare(app));
}

}  // namespace

int RunTrustctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool err_is_terminal) {
  Io io{out, err};
  io.progress = err_is_terminal;
  try {
    CLI::App app("", "trustctl");
    std::vector<Runner> runners;
    bool quiet = false;
    bool no_notify = false;
    Declare(app, &runners, &quiet, &no_notify);
    if (args.empty()) {
      err << app.help("", CLI::AppFormatMode::All);
      return kExitUsage;
    }
    // "help [COMMAND]" as in git; the bare --help shows every command in full.
    if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
      if (args.size() > 1 && args[0] == "help") {
        CLI::App* sub = nullptr;
        for (CLI::App* s : app.get_subcommands({})) {
          if (s->get_name() == args[1]) sub = s;
        }
        if (sub == nullptr) {
          Complain(io, "unknown command " + args[1] + " (see trustctl --help)");
          return kExitUsage;
        }
        out << sub->help("trustctl");
        return kExitOk;
      }
      if (args.size() == 1) {
        out << app.help("", CLI::AppFormatMode::All);
        return kExitOk;
      }
    }
    if (!args[0].empty() && args[0][0] != '-') {
      bool known = false;
      for (CLI::App* s : app.get_subcommands({})) known = known || s->get_name() == args[0];
      if (!known) {
        Complain(io, "unknown command " + args[0] + " (see trustctl --help)");
        return kExitUsage;
      }
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
      app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
      const std::vector<CLI::App*> chosen = app.get_subcommands();
      out << (chosen.empty() ? app.help("", CLI::AppFormatMode::All) : chosen[0]->help("trustctl"));
      return kExitOk;
    } catch (const CLI::CallForAllHelp&) {
      out << app.help("", CLI::AppFormatMode::All);
      return kExitOk;
    } catch (const CLI::CallForVersion& v) {
      out << v.what() << "\n";
      return kExitOk;
    } catch (const CLI::ParseError& e) {
      const std::vector<CLI::App*> chosen = app.get_subcommands();
      const std::string name = chosen.empty() ? "" : " " + chosen[0]->get_name();
      Complain(io, e.what());
      err << "see: trustctl" << name << " --help\n";
      return kExitUsage;
    }
    io.quiet = quiet;
    io.notify = !no_notify;
    const std::vector<CLI::App*> all = app.get_subcommands({});
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i]->parsed()) return runners[i](io);
    }
    Complain(io, "no command (see trustctl --help)");
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    Complain(io, "out of memory");
  } catch (const std::exception& e) {
    Complain(io, std::string("internal error: ") + e.what());
  } catch (...) {
    Complain(io, "internal error");
  }
  return kExitFailure;
}

}  // namespace tl::ctl
