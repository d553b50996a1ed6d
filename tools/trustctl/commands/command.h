// What every subcommand receives: its parsed options (filled by the command
// line in cli.cpp) and the output streams (io/io.h), and the subcommands
// themselves. The options of all of them stand here together, as the table in
// cli.cpp declares them together; WriteRules (edit/write_road.h) is shared by
// every writing one.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "edit/write_road.h"
#include "io/io.h"

namespace tl::ctl {

struct HashOptions {
  bool recursive = false;
  bool names = false;
  unsigned jobs = 0;  // 0: the number of cores
  std::vector<std::string> paths;
};
struct DumpOptions {
  bool json = false;
  std::string target;  // CONTAINER[:STREAM]
  std::string stream;  // the older form: STREAM as a second argument
};
struct VerifyOptions {
  bool json = false;
  std::string container;
};
struct ImportOptions {
  std::string target;  // CONTAINER[:STREAM]
  std::string stream;  // --stream NAME (the older form)
  bool stream_given = false;
  std::string hash_list;
  bool dry_run = false;
  WriteRules rules;
};
// add's options in command-line order: each --path or --hash starts a program
// and the attributes after it belong to it.
struct AddOptions {
  std::string target;
  std::vector<std::pair<std::string, std::vector<std::string>>> ordered;
  WriteRules rules;
};
struct RemoveOptions {
  std::string target;
  std::vector<std::string> names;
  std::vector<std::string> hashes;  // SIZE CRC pairs, flattened
  std::vector<std::string> files;
  WriteRules rules;
};
struct DiffOptions {
  bool json = false;
  std::string a, b;
};
struct TestOptions {
  bool json = false;
  std::string target;
  std::vector<std::string> files;
};
struct ExportOptions {
  std::string format = "jsonl";
  std::string output = "-";
  bool skip_other = false;
  std::string target;
};
struct ApplyOptions {
  bool dry_run = false;
  bool check = false;  // report what would change, exit 1 when something would
  bool json = false;
  std::string target;
  std::string input;
  WriteRules rules;
};
struct MergeOptions {
  bool dry_run = false;
  bool json = false;
  std::string prefer = "dst";
  std::string dst;
  std::vector<std::string> srcs;
  WriteRules rules;
};
struct LintOptions {
  bool json = false;
  std::string against;
  std::string container;
};

// Each returns an ExitCode.
int RunHash(const HashOptions& o, Io& io);
int RunDump(const DumpOptions& o, Io& io);
int RunVerify(const VerifyOptions& o, Io& io);
int RunImport(const ImportOptions& o, Io& io);
int RunAdd(const AddOptions& o, Io& io);
int RunRemove(const RemoveOptions& o, Io& io);
int RunDiff(const DiffOptions& o, Io& io);
int RunTest(const TestOptions& o, Io& io);
int RunExport(const ExportOptions& o, Io& io);
int RunApply(const ApplyOptions& o, Io& io);
int RunMerge(const MergeOptions& o, Io& io);
int RunLint(const LintOptions& o, Io& io);

}  // namespace tl::ctl
