// The command line: every subcommand, its options and its help, declared with
// CLI11 in this one file; the commands themselves receive plain option records
// (command.h). `trustctl --help` prints the help of every command, so that it is
// the complete reference (the manual page is made from it).
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
    "trustctl: inspect, verify, compare, test and edit trust list containers.\n"
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
    "     written only with --allow-collisions\n"
    "  2  a file could not be read or written, its contents cannot be used (a\n"
    "     container verify finds damaged is never written to; an entry kept byte\n"
    "     for byte is a finding, not damage), the list would not fit, another\n"
    "     writer held the container for 5 seconds, or a write was refused: an\n"
    "     existing empty file as the container, a stream left empty without\n"
    "     --allow-empty, an input with no usable line, a stream the container does\n"
    "     not hold without --new-stream (ProgramList and BlockList of a new\n"
    "     container aside), an output or input that is the container itself\n"
    "  3  the command line is wrong; test: a file is blocked\n"
    "\n"
    "Containers are written only after everything was read, built and checked; a\n"
    "failed write leaves the older stream in place. Only regular files are\n"
    "containers. Every other file trustctl writes (-o) is written beside its target\n"
    "and renamed over it; a FIFO, a device or a terminal is written directly.";

// A CLI11 option for a container or list argument keeps whatever text is given
// ("-" included).
CLI::Option* Positional(CLI::App* sub, const char* name, std::string& into, const char* help) {
  return sub->add_option(name, into, help)->required();
}

// The options that lift a writing command's refusals; `empty` and `fresh` say
// whether the command can empty a stream and create one.
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
                  "create the stream when the container does not hold it (needed except for "
                  "ProgramList and BlockList in a new container)");
  }
}

struct Parsed {
  HashOptions hash;
  DumpOptions dump;
  VerifyOptions verify;
  ImportOptions import;
  AddOptions add;
  RemoveOptions remove;
  DiffOptions diff;
  TestOptions test;
  ExportOptions export_;
  ApplyOptions apply;
  MergeOptions merge;
  LintOptions lint;
  // add's attribute options bind here only so that CLI11 checks and counts
  // them; the order is read back from the parse.
  std::vector<std::string> add_values[11];
};

// The attribute options of add, in the order they are declared; --path and
// --hash start a program.
constexpr const char* kAddOrdered[] = {
    "--path", "--hash",           "--tokens",           "--text1", "--text2", "--text3", "--value",
    "--pair", "--timestamp-file", "--fingerprint-file", "--file",
};

void Declare(CLI::App& app, Parsed& p, bool* quiet, bool* no_notify) {
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

  CLI::App* s = app.add_subcommand(
      "hash",
      "Prints one hash list line \"size crc\" (lowercase hex) per file, the fingerprint the\n"
      "library stores. A file that cannot be read gets a message and no line (exit 2).");
  s->add_flag("-r,--recursive", p.hash.recursive, "walk directories (sorted order)");
  s->add_flag("--names", p.hash.names, "append the path as a third token (import ignores it)");
  s->add_option("-j,--jobs", p.hash.jobs,
                "files hashed at a time (default: the number of cores); same output for every N")
      ->type_name("N")
      ->check(CLI::Range(1u, 256u));
  s->add_option("PATH", p.hash.paths, "files or directories; '-' is standard input")->required();

  s = app.add_subcommand(
      "dump",
      "Prints the header, capacity, allocation table chains, directory and every stream\n"
      "(or only STREAM): its payload header and each program block with all its fields.\n"
      "Damage is shown where it is met; exit 2 only when the container cannot be read or\n"
      "its header is unusable (verify judges the rest).");
  s->add_flag("--json", p.dump.json, "one JSON document instead of text");
  Positional(s, "CONTAINER", p.dump.target, "CONTAINER or CONTAINER:STREAM");
  s->add_option("STREAM", p.dump.stream, "only this stream (same as CONTAINER:STREAM)");

  s = app.add_subcommand(
      "verify",
      "Checks the header, table, directory and chains, each stream's payload and each\n"
      "program block, and shows the capacity. Prints \"ok\" or one line per defect, each\n"
      "with a sentence saying what is wrong.");
  s->add_flag("--json", p.verify.json, "one JSON document instead of text");
  Positional(s, "CONTAINER", p.verify.container, "the container");

  s = app.add_subcommand(
      "import",
      "Replaces a stream with one block per usable hash list line, as the library's\n"
      "import does, and reports accepted, duplicate, colliding and skipped lines (a\n"
      "line holding a NUL byte is skipped). Lines end at LF, CR LF or CR. A missing\n"
      "CONTAINER is created; a list that would not fit fails before anything is\n"
      "written. Refused (exit 2): a hash list with no usable line, an empty one\n"
      "(unless --allow-empty), the container itself as the hash list, an existing\n"
      "empty file as CONTAINER. Two lines whose names share a key: exit 1, nothing\n"
      "written unless --allow-collisions.");
  Positional(s, "CONTAINER", p.import.target, "CONTAINER or CONTAINER:STREAM");
  s->add_option("HASHLIST", p.import.hash_list, "the hash list; '-' is standard input")->required();
  s->add_option("--stream", p.import.stream, "the stream (the older form of CONTAINER:STREAM)");
  s->add_flag("--dry-run", p.import.dry_run,
              "report, with the capacity it would leave, without writing");
  DeclareWriteRules(s, p.import.rules, true, true);

  s = app.add_subcommand(
      "add",
      "Keeps the stream's entries and adds (or replaces, by name) one program per --path\n"
      "or --hash. The name is the text after the last backslash of PATH followed by \"@*\",\n"
      "or PATH itself when it has no backslash. The attributes after a --path belong to\n"
      "it. A program with no attribute is refused, as the library refuses it; so is\n"
      "anything that would be stored otherwise than asked (exit 3, nothing written):\n"
      "an incomplete --hash pair, an empty token or text, more than four tokens,\n"
      "--value with --pair, a text longer than its field (--text1, --text2: 63\n"
      "characters; --text3: 599; --path, --tokens: 259). A --timestamp-file that is\n"
      "no executable, or a file that cannot be read, is exit 2. An entry that would\n"
      "replace one of another name (same key): exit 1, nothing written unless\n"
      "--allow-collisions.");
  Positional(s, "CONTAINER", p.add.target, "CONTAINER or CONTAINER:STREAM");
  s->add_option("--path", p.add_values[0], "starts a program: its path or bare file name")
      ->type_name("PATH");
  s->add_option("--hash", p.add_values[1],
                "adds a fingerprint-only entry, as a hash list line does")
      ->expected(2)
      ->type_name("SIZE CRC");
  s->add_option("--tokens", p.add_values[2],
                "one to four non-empty tokens separated by ';' (259 characters in all)")
      ->type_name("\"a;b\"");
  s->add_option("--text1", p.add_values[3], "the first text, 1 to 63 characters")
      ->type_name("TEXT");
  s->add_option("--text2", p.add_values[4], "the second text, 1 to 63 characters")
      ->type_name("TEXT");
  s->add_option("--text3", p.add_values[5], "the third text, 1 to 599 characters")
      ->type_name("TEXT");
  s->add_option("--value", p.add_values[6], "a single value (not 0)")->type_name("N");
  s->add_option("--pair", p.add_values[7], "a value pair (N not 0); not together with --value")
      ->type_name("N,M");
  s->add_option("--timestamp-file", p.add_values[8], "the link time stamp of executable F")
      ->type_name("F");
  s->add_option("--fingerprint-file", p.add_values[9], "the size/CRC fingerprint of file F")
      ->type_name("F");
  s->add_option("--file", p.add_values[10], "both of the above from F")->type_name("F");
  DeclareWriteRules(s, p.add.rules, false, true);
  for (const char* name : kAddOrdered) {
    s->get_option(name)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  }

  s = app.add_subcommand(
      "remove",
      "Keeps the stream's entries except those whose name key equals that of a NAME\n"
      "(names compare folding only A-Z), or whose fingerprint is a --hash pair or a\n"
      "--file's. Exit 1 when something asked for was not there, or when a NAME's key\n"
      "is held by an entry of another name (nothing written unless\n"
      "--allow-collisions). Removing the last entries needs --allow-empty.");
  Positional(s, "CONTAINER", p.remove.target, "CONTAINER or CONTAINER:STREAM");
  s->add_option("NAME", p.remove.names, "entry names");
  s->add_option("--hash", p.remove.hashes, "remove entries with this fingerprint")
      ->expected(2)
      ->type_name("SIZE CRC")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  s->add_option("--file", p.remove.files, "remove entries with the fingerprint of file F")
      ->type_name("F");
  DeclareWriteRules(s, p.remove.rules, true, false);

  s = app.add_subcommand("diff",
                         "Entries added, removed and changed from A to B, matched by name key.\n"
                         "Exit 0 when the lists hold the same entries, 1 when they differ.");
  s->add_flag("--json", p.diff.json, "one JSON document; values as JSON values");
  Positional(s, "A", p.diff.a, "A[:STREAM]");
  Positional(s, "B", p.diff.b, "B[:STREAM]");

  s = app.add_subcommand(
      "export",
      "Writes a list as text, in list order. jsonl: one JSON object per entry with every\n"
      "field (name, key, kind, flags, tokens, texts, values, link time stamp,\n"
      "fingerprint) and, for an entry those fields cannot rebuild byte for byte, its\n"
      "stored bytes in base64 (\"bytes\"). hashlist: \"size crc\" lines; a list holding\n"
      "anything but fingerprint-only entries fails (exit 2, nothing written). -o FILE\n"
      "is written beside FILE and renamed over it (a FIFO or device is written\n"
      "directly); an -o that is the container itself is refused.");
  s->add_option("--format", p.export_.format, "jsonl (default) or hashlist")
      ->check(CLI::IsMember({"jsonl", "hashlist"}));
  s->add_option("-o,--output", p.export_.output,
                "the file to write; '-' (default) is standard output");
  s->add_flag("--skip-other", p.export_.skip_other, "hashlist: leave other entries out");
  Positional(s, "CONTAINER", p.export_.target, "CONTAINER or CONTAINER:STREAM");

  s = app.add_subcommand(
      "apply",
      "Makes the stream hold exactly the entries of a jsonl file as export writes it.\n"
      "Every line is checked first (errors name the line; exit 2; nothing written). An\n"
      "export applied to any container stores a byte-identical payload (bytes 12-23 of\n"
      "each block aside). A stream that already holds that payload is not written (and\n"
      "the product not told): \"unchanged\", exit 0; otherwise \"changed\" with the\n"
      "entries added, removed and changed as diff counts them, exit 0. An entry is\n"
      "edited by editing its fields; one that carries \"bytes\" is rebuilt from its\n"
      "fields once \"bytes\" is removed. A file with no entry is refused unless\n"
      "--allow-empty; two lines of different names with one key: exit 1, nothing\n"
      "written unless --allow-collisions.");
  s->add_flag("--dry-run", p.apply.dry_run, "check and report without writing");
  s->add_flag("--check", p.apply.check,
              "report what would change without writing; exit 0 when nothing would, 1 when "
              "something would");
  s->add_flag("--json", p.apply.json,
              "print {\"changed\": bool, \"added\": n, \"removed\": n, \"changed_entries\": n}");
  Positional(s, "CONTAINER", p.apply.target, "CONTAINER or CONTAINER:STREAM");
  Positional(s, "FILE", p.apply.input, "the jsonl file; '-' is standard input");
  DeclareWriteRules(s, p.apply.rules, true, true);

  s = app.add_subcommand(
      "test",
      "Is each FILE allowed, blocked or not listed, and why? Prints the file's\n"
      "fingerprint and its name (base name + \"@*\"), its matches in the named stream,\n"
      "or in every stream (an entry with a fingerprint matches by an equal fingerprint\n"
      "only, one without by name), its near misses when it has no match (an entry of\n"
      "its name with another fingerprint, an entry of its size with another CRC), then\n"
      "its verdict: blocked (a match on BlockList, which is searched whichever stream\n"
      "is named), allowed (a match on ProgramList, or on the stream named), not\n"
      "listed. Entries are numbered from 1 as in dump. Exit 0 only when every file is\n"
      "allowed, 1 when one is not listed, 3 when one is blocked, 2 when a file or the\n"
      "container cannot be read (3 wins over 2, 2 over 1).");
  s->add_flag("--json", p.test.json, "one JSON document");
  Positional(s, "CONTAINER", p.test.target, "CONTAINER or CONTAINER:STREAM");
  s->add_option("FILE", p.test.files, "the files; '-' is standard input")->required();

  s = app.add_subcommand(
      "merge",
      "Appends to DST, in SRC order, each entry whose key DST does not hold. An entry\n"
      "whose key DST holds with other content is a conflict: reported with both versions,\n"
      "DST's kept (--prefer src takes SRC's, in DST's place). Identical entries are not\n"
      "conflicts. Exit 0 when merged without conflict, 1 when conflicts were reported (the\n"
      "merge is still written unless --dry-run), 2 on errors. A SRC entry whose key DST\n"
      "holds under another name is a collision: exit 1, nothing written unless\n"
      "--allow-collisions.");
  s->add_flag("--dry-run", p.merge.dry_run, "report without writing");
  s->add_flag("--json", p.merge.json, "one JSON document");
  s->add_option("--prefer", p.merge.prefer, "whose version a conflict keeps: dst (default) or src")
      ->check(CLI::IsMember({"dst", "src"}));
  Positional(s, "DST", p.merge.dst, "DST[:STREAM], created when missing");
  s->add_option("SRC", p.merge.srcs, "SRC[:STREAM]...")->required();
  DeclareWriteRules(s, p.merge.rules, false, true);

  s = app.add_subcommand(
      "lint",
      "The list's meaning, beyond verify's structure; one line per finding, starting with\n"
      "its kind: conflict (an entry of ProgramList and one of BlockList with one key or\n"
      "fingerprint), name-mismatch (a fingerprint-only entry not named %08x%08x.* of its\n"
      "fingerprint), key-mismatch (a key that is not its name's key), collision (two\n"
      "entries of different names with one key), stale (with --against DIR: an entry named\n"
      "as a file under DIR, base name + \"@*\", whose fingerprint differs from the file's).\n"
      "Exit 0 clean, 1 findings, 2 errors.");
  s->add_flag("--json", p.lint.json, "one JSON document");
  s->add_option("--against", p.lint.against, "a directory tree to compare fingerprints with")
      ->type_name("DIR");
  Positional(s, "CONTAINER", p.lint.container,
             "the container (CONTAINER:STREAM: that stream only)");
}

}  // namespace

int RunTrustctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool err_is_terminal) {
  Io io{out, err};
  io.progress = err_is_terminal;
  try {
    CLI::App app("", "trustctl");
    Parsed p;
    bool quiet = false;
    bool no_notify = false;
    Declare(app, p, &quiet, &no_notify);
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
    if (CLI::App* imp = app.get_subcommand("import"); imp->parsed() && imp->count("--stream") > 0) {
      p.import.stream_given = true;
    }
    CLI::App* sub = app.get_subcommands().at(0);
    const std::string& name = sub->get_name();
    if (name == "add") {
      p.add.target = sub->get_option("CONTAINER")->as<std::string>();
      std::vector<std::pair<const CLI::Option*, size_t>> used;  // results taken per option
      for (const CLI::Option* o : sub->parse_order()) {
        if (std::find(std::begin(kAddOrdered), std::end(kAddOrdered), o->get_name()) ==
            std::end(kAddOrdered)) {
          continue;  // CONTAINER and the flags
        }
        size_t& at = [&]() -> size_t& {
          for (auto& u : used) {
            if (u.first == o) return u.second;
          }
          used.emplace_back(o, 0);
          return used.back().second;
        }();
        const auto& results = o->results();
        const size_t n = o->get_name() == "--hash" ? 2 : 1;
        if (at + n > results.size()) {
          if (at < results.size()) {
            Complain(io, o->get_name() + " takes SIZE CRC, two numbers; the last one has one");
            return kExitUsage;
          }
          continue;
        }
        p.add.ordered.emplace_back(
            o->get_name(), std::vector<std::string>(results.begin() + static_cast<long>(at),
                                                    results.begin() + static_cast<long>(at + n)));
        at += n;
      }
      return RunAdd(p.add, io);
    }
    if (name == "hash") return RunHash(p.hash, io);
    if (name == "dump") return RunDump(p.dump, io);
    if (name == "verify") return RunVerify(p.verify, io);
    if (name == "import") return RunImport(p.import, io);
    if (name == "remove") return RunRemove(p.remove, io);
    if (name == "diff") return RunDiff(p.diff, io);
    if (name == "export") return RunExport(p.export_, io);
    if (name == "apply") return RunApply(p.apply, io);
    if (name == "test") return RunTest(p.test, io);
    if (name == "merge") return RunMerge(p.merge, io);
    if (name == "lint") return RunLint(p.lint, io);
    Complain(io, "unknown command " + name);
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
