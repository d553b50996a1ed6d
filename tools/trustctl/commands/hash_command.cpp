// trustctl hash: hash list lines for files, with the fingerprint the library
// computes (size in the high half, CRC-32 of the sampled bytes in the low half).
// Files are hashed by N workers; lines are printed by one thread in argument
// (and sorted directory) order, so the output is the same for every N.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "commands/cli_options.h"
#include "commands/command.h"
#include "common/u16.h"
#include "io/file_args.h"
#include "io/format.h"
#include "io/input_file.h"
#include "io/progress.h"
#include "io/tree_walk.h"
#include "platform/input_backend.h"
#include "trustctl.h"

namespace tl::ctl {
namespace {

struct HashOptions {
  bool recursive = false;
  bool names = false;
  unsigned jobs = 0;  // 0: the number of cores
  std::vector<std::string> paths;
};

namespace fs = std::filesystem;

// Lines longer than this would be cut into pieces by the import's line reader,
// and each piece would count as a line of its own; names stay well below it.
constexpr size_t kMaxNamedLine = 4096;

struct Job {
  std::string arg;        // the file, as a UTF-8 argument ("-": standard input)
  std::string line;       // the hash list line, when it could be read
  std::string error;      // else why not
  std::string warning;    // a note beside a line
  std::string dir_error;  // a directory that could not be listed (no file)
  bool done = false;
};

Job FileJob(std::string arg) {
  Job j;
  j.arg = std::move(arg);
  return j;
}

// One file that could be read whole gets a line; a file that cannot be opened
// or read gets a message and no line, so a list never holds a made-up pair.
void HashOne(Job& job, bool names) {
  InputFile in;
  uint64_t fingerprint = 0, full_size = 0;
  if (!in.Open(job.arg, "file", &job.error) ||
      !SequentialFingerprint(in, &fingerprint, &full_size, &job.error)) {
    return;
  }
  const std::string shown = job.arg == "-" ? "-" : PrintablePath(Utf8ToU16(job.arg));
  job.warning = LargeFileNote(shown, full_size);
  job.line = HashLine(fingerprint);
  if (names && job.line.size() + 1 + shown.size() <= kMaxNamedLine) job.line += " " + shown;
}

// The files named by the arguments, each a Job in order (one that names no
// file to read is its message).
void Collect(const HashOptions& o, std::vector<Job>* jobs) {
  for (FileArg& f : CollectFiles(o.paths, o.recursive)) {
    Job j = FileJob(std::move(f.arg));
    j.dir_error = std::move(f.error);
    j.done = !j.dir_error.empty();
    jobs->push_back(std::move(j));
  }
}

int RunHash(const HashOptions& o, Io& io) {
  std::vector<Job> jobs;
  Collect(o, &jobs);
  unsigned workers = o.jobs != 0 ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
  // Standard input cannot be shared between workers; it is read by one.
  workers = static_cast<unsigned>(std::min<size_t>(workers, std::max<size_t>(jobs.size(), 1)));

  std::mutex m;
  std::condition_variable cv;
  std::atomic<size_t> next{0};
  auto work = [&] {
    while (true) {
      const size_t i = next.fetch_add(1);
      if (i >= jobs.size()) return;
      if (!jobs[i].done) HashOne(jobs[i], o.names);
      {
        std::lock_guard<std::mutex> lock(m);
        jobs[i].done = true;
      }
      cv.notify_all();
    }
  };
  std::vector<std::thread> pool;
  if (workers <= 1) {
    work();
  } else {
    for (unsigned w = 0; w < workers; ++w) pool.emplace_back(work);
  }

  Progress progress(io, "hashed", jobs.size());
  bool all_ok = true;
  for (size_t i = 0; i < jobs.size(); ++i) {
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return jobs[i].done; });
    }
    const Job& j = jobs[i];
    progress.Clear();
    if (!j.dir_error.empty()) {
      Complain(io, j.dir_error);
      all_ok = false;
    } else if (!j.error.empty()) {
      Complain(io, j.error);
      all_ok = false;
    } else {
      if (!j.warning.empty()) Complain(io, j.warning);
      io.out << j.line << "\n";
    }
    progress.Step(i + 1);
  }
  for (auto& t : pool) t.join();
  progress.Clear();
  return all_ok ? kExitOk : kExitFailure;
}

}  // namespace

Runner DeclareHash(CLI::App& app) {
  auto o = std::make_shared<HashOptions>();
  CLI::App* s = app.add_subcommand(
      "hash",
      "Prints one hash list line \"size crc\" (lowercase hex) per file, the fingerprint the\n"
      "library stores. A file that cannot be read gets a message and no line (exit 2).");
  s->add_flag("-r,--recursive", o->recursive, "walk directories (sorted order)");
  s->add_flag("--names", o->names, "append the path as a third token (import ignores it)");
  s->add_option("-j,--jobs", o->jobs,
                "files hashed at a time (default: the number of cores); same output for every N")
      ->type_name("N")
      ->check(CLI::Range(1u, 256u));
  s->add_option("PATH", o->paths, "files or directories; '-' is standard input")->required();
  return [o](Io& io) { return RunHash(*o, io); };
}

}  // namespace tl::ctl
