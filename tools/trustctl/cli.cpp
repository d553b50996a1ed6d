#include <new>
#include <string_view>

#include "command.h"
#include "trustctl.h"

namespace tl::ctl {
namespace {

struct CommandInfo {
  std::string_view name;
  int (*run)(const std::vector<std::string>&, Io&);
  std::string_view usage;
};

constexpr CommandInfo kCommands[] = {
    {"hash", RunHash,
     "hash [-r] [--names] PATH...\n"
     "  Prints one hash list line \"size crc\" (lowercase hex) per file, the same\n"
     "  fingerprint the library stores. -r walks directories; --names appends the\n"
     "  path as a third token, which the import ignores.\n"},
    {"dump", RunDump,
     "dump [--json] CONTAINER [STREAM]\n"
     "  Prints the header, the allocation table chains, the directory and every\n"
     "  stream (or only STREAM): its payload header and each program block with all\n"
     "  its fields. --json prints the same as one JSON document. Damage is shown\n"
     "  where it is met; the exit code is 2 only when the container cannot be read\n"
     "  or its header is unusable (verify judges the rest).\n"},
    {"verify", RunVerify,
     "verify [--json] CONTAINER\n"
     "  Checks the header, table, directory and chains, each stream's payload and\n"
     "  each program block. Prints \"ok\" or one line per defect.\n"},
    {"import", RunImport,
     "import CONTAINER --stream NAME HASHLIST [--dry-run]\n"
     "  Replaces stream NAME with one block per usable hash list line, as the\n"
     "  library's import does, and reports accepted, duplicate and skipped lines.\n"
     "  --dry-run reports without writing. A missing CONTAINER is created.\n"},
    {"add", RunAdd,
     "add CONTAINER[:STREAM] --path PATH [ATTRIBUTES] [--path PATH [ATTRIBUTES]]...\n"
     "  Keeps the stream's entries and adds (or replaces, by name) one program per\n"
     "  --path. The name is the text after the last backslash of PATH followed by\n"
     "  \"@*\", or PATH itself when it has no backslash. ATTRIBUTES, for the\n"
     "  program of the --path before them:\n"
     "    --tokens \"a;b;c\"      up to four tokens separated by ';'\n"
     "    --text1/--text2/--text3 TEXT\n"
     "    --value N             a single value (not 0)\n"
     "    --pair N,M            a value pair (N not 0)\n"
     "    --timestamp-file F    the link time stamp of executable F\n"
     "    --fingerprint-file F  the size/CRC fingerprint of file F\n"
     "    --file F              both of the above from F\n"
     "  A program with no attribute is refused, as the library refuses it.\n"},
    {"remove", RunRemove,
     "remove CONTAINER[:STREAM] NAME...\n"
     "  Keeps the stream's entries except those whose name key equals that of a\n"
     "  NAME (names compare folding only A-Z). Exit 1 when a NAME was not there.\n"},
    {"diff", RunDiff,
     "diff [--json] A[:STREAM] B[:STREAM]\n"
     "  Entries added, removed and changed from A to B, matched by name key.\n"
     "  Exit 0 when the lists hold the same entries, 1 when they differ.\n"},
};

constexpr std::string_view kOverview =
    "trustctl: inspect, verify, compare and prepare trust list containers\n"
    "\n"
    "usage: trustctl COMMAND [ARGUMENTS]\n"
    "       trustctl help [COMMAND]\n"
    "\n"
    "STREAM defaults to ProgramList. A container is named as CONTAINER or\n"
    "CONTAINER:STREAM where a stream is expected (a drive letter's colon is part\n"
    "of the path).\n"
    "\n"
    "commands:\n";

constexpr std::string_view kExitCodes =
    "exit codes:\n"
    "  0  done (verify: sound; diff: no differences)\n"
    "  1  verify found defects; diff found differences; remove missed a name\n"
    "  2  a file could not be read or written, or its contents cannot be used\n"
    "  3  the command line is wrong\n"
    "\n"
    "Containers are written only after everything was read and built; a failed\n"
    "write leaves the older stream in place.\n";

void PrintHelp(std::ostream& out) {
  out << kOverview;
  for (const auto& c : kCommands) {
    out << "\n";
    // Each usage text indented under the list heading.
    std::string_view u = c.usage;
    while (!u.empty()) {
      const size_t nl = u.find('\n');
      out << "  " << u.substr(0, nl) << "\n";
      u.remove_prefix(nl == std::string_view::npos ? u.size() : nl + 1);
    }
  }
  out << "\n" << kExitCodes;
}

const CommandInfo* FindCommand(std::string_view name) {
  for (const auto& c : kCommands) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

}  // namespace

void Complain(Io& io, const std::string& message) { io.err << "trustctl: " << message << "\n"; }

int RunTrustctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Io io{out, err};
  try {
    if (args.empty()) {
      PrintHelp(err);
      return kExitUsage;
    }
    const std::string& first = args[0];
    if (first == "--help" || first == "-h" || first == "help") {
      if (args.size() > 1) {
        if (const CommandInfo* c = FindCommand(args[1])) {
          out << "usage: trustctl " << c->usage;
          return kExitOk;
        }
        Complain(io, "unknown command " + args[1]);
        return kExitUsage;
      }
      PrintHelp(out);
      return kExitOk;
    }
    const CommandInfo* c = FindCommand(first);
    if (c == nullptr) {
      Complain(io, "unknown command " + first + " (see trustctl --help)");
      return kExitUsage;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    for (const auto& a : rest) {
      if (a == "--help" || a == "-h") {
        out << "usage: trustctl " << c->usage;
        return kExitOk;
      }
    }
    const int rc = c->run(rest, io);
    if (rc == kExitUsage) err << "usage: trustctl " << c->usage;
    return rc;
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
