#include "io/file_args.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/u16.h"
#include "io/format.h"
#include "io/tree_walk.h"
#include "platform/input_backend.h"

namespace tl::ctl {

namespace fs = std::filesystem;

std::vector<FileArg> CollectFiles(const std::vector<std::string>& args, bool recursive) {
  std::vector<FileArg> out;
  for (const std::string& arg : args) {
    const fs::path path = input_backend::NativePath(Utf8ToU16(arg));
    std::error_code ec;
    if (arg == "-" || !fs::is_directory(path, ec)) {
      out.push_back({arg, {}});
      continue;
    }
    if (!recursive) {
      out.push_back({{}, PrintablePath(Utf8ToU16(arg)) + ": is a directory (use -r)"});
      continue;
    }
    // A file is named by its own bytes (its UTF-16 on Windows), so a name
    // that is not UTF-8 is read as the file it is. An entry that cannot be
    // read gets a message in its place, and the walk goes on.
    std::vector<std::pair<fs::path, std::string>> found;  // path, or an error's text
    WalkFiles(
        path, [&](const fs::path& f) { found.emplace_back(f, std::string()); },
        [&](const fs::path& f, const std::error_code& why) {
          found.emplace_back(
              f, PrintablePath(input_backend::PathText(f)) + ": cannot be read: " + why.message());
        });
    std::sort(found.begin(), found.end());
    for (auto& [f, error] : found) {
      if (error.empty()) {
        out.push_back({U16ToUtf8(input_backend::PathText(f)), {}});
      } else {
        out.push_back({{}, std::move(error)});
      }
    }
  }
  return out;
}

}  // namespace tl::ctl
