// What a subcommand is to the command line: a function, in the subcommand's
// own file beside its code, that declares it on CLI11's app (its help and its
// options, bound to an option record it keeps) and returns how to run it once
// the line is parsed. cli.cpp lists them in the order --help shows them.
#pragma once

#include <functional>

#include "io/io.h"

namespace CLI {
class App;
}  // namespace CLI

namespace tl::ctl {

// Runs the parsed subcommand; returns an ExitCode.
using Runner = std::function<int(Io&)>;

Runner DeclareHash(CLI::App& app);
Runner DeclareDump(CLI::App& app);
Runner DeclareVerify(CLI::App& app);
Runner DeclareImport(CLI::App& app);
Runner DeclareAdd(CLI::App& app);
Runner DeclareRemove(CLI::App& app);
Runner DeclareDiff(CLI::App& app);
Runner DeclareExport(CLI::App& app);
Runner DeclareApply(CLI::App& app);
Runner DeclareTest(CLI::App& app);
Runner DeclareMerge(CLI::App& app);
Runner DeclareLint(CLI::App& app);
Runner DeclareRecover(CLI::App& app);

}  // namespace tl::ctl
