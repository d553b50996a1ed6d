// trustctl hash: hash list lines for files, with the fingerprint the library
// computes (size in the high half, CRC-32 of the sampled bytes in the low half).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "args.h"
#include "command.h"
#include "common/u16.h"
#include "format.h"
#include "input_file.h"
#include "trustctl.h"

namespace tl::ctl {
namespace {

namespace fs = std::filesystem;

// The import reads each token with "%x"; eight digits each keep the columns
// aligned and match the hash name form "%08x%08x.*".
std::string HashLine(uint64_t fingerprint) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%08x %08x", static_cast<unsigned>(fingerprint >> 32),
                static_cast<unsigned>(fingerprint & 0xFFFFFFFFu));
  return buf;
}

// Lines longer than this would be cut into pieces by the import's line reader,
// and each piece would count as a line of its own; names stay well below it.
constexpr size_t kMaxNamedLine = 4096;

// One line per file that could be read whole; a file that cannot be opened or
// read gets a message and no line, so a list never holds a made-up pair.
bool HashFile(const fs::path& path, bool names, Io& io) {
  const std::u16string p16 = path.u16string();
  const std::string arg = U16ToUtf8(p16);
  InputFile in;
  std::string error;
  uint64_t fingerprint = 0, full_size = 0;
  if (!in.Open(arg, "file", &error) ||
      !SequentialFingerprint(in, &fingerprint, &full_size, &error)) {
    Complain(io, error);
    return false;
  }
  const std::string shown = arg == "-" ? "-" : PrintablePath(p16);
  if (full_size > 0xFFFFFFFFu) {
    Complain(io, shown + ": larger than 4 GiB; the fingerprint holds the low 32 bits of its size");
  }
  std::string line = HashLine(fingerprint);
  if (names && line.size() + 1 + shown.size() <= kMaxNamedLine) line += " " + shown;
  io.out << line << "\n";
  return true;
}

}  // namespace

int RunHash(const std::vector<std::string>& argv, Io& io) {
  Args args;
  std::string error;
  if (!ParseArgs(argv, {{"-r", false}, {"--recursive", false}, {"--names", false}}, &args,
                 &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  if (args.positional.empty()) {
    Complain(io, "hash needs at least one PATH");
    return kExitUsage;
  }
  const bool recursive = args.Has("-r") || args.Has("--recursive");
  const bool names = args.Has("--names");
  bool all_ok = true;
  for (const std::string& arg : args.positional) {
    const fs::path path(Utf8ToU16(arg));
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
      all_ok = HashFile(path, names, io) && all_ok;
      continue;
    }
    if (!recursive) {
      Complain(io, PrintablePath(Utf8ToU16(arg)) + ": is a directory (use -r)");
      all_ok = false;
      continue;
    }
    // Sorted, so that the same tree always gives the same list.
    std::vector<fs::path> files;
    fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      std::error_code type_ec;
      if (it->is_regular_file(type_ec)) files.push_back(it->path());
    }
    if (ec) {
      Complain(io, PrintablePath(Utf8ToU16(arg)) + ": cannot list the directory: " + ec.message());
      all_ok = false;
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) all_ok = HashFile(f, names, io) && all_ok;
  }
  return all_ok ? kExitOk : kExitFailure;
}

}  // namespace tl::ctl
