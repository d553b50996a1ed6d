// Walking a directory tree for hash -r and lint --against: every regular file
// (symbolic links to files included), directories entered once. A directory
// that is the same as one of its ancestors (a link back up the tree, such as
// /usr/bin/X11 -> ., which Wine presents as a plain directory) is not entered
// again, so a loop cannot make the walk endless. An entry that cannot be read
// (a directory that cannot be listed, a broken link) is reported and the walk
// goes on with the rest of the tree.
#pragma once

#include <filesystem>
#include <functional>
#include <system_error>
#include <vector>

namespace tl::ctl {

using FileVisitor = std::function<void(const std::filesystem::path&)>;
using WalkErrorVisitor = std::function<void(const std::filesystem::path&, const std::error_code&)>;

namespace tree_walk_detail {

inline void WalkDirectory(const std::filesystem::path& dir,
                          std::vector<std::filesystem::path>& ancestors, const FileVisitor& on_file,
                          const WalkErrorVisitor& on_error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) {
    on_error(dir, ec);
    return;
  }
  std::vector<fs::path> entries;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    entries.push_back(it->path());
  }
  if (ec) on_error(dir, ec);
  for (const fs::path& entry : entries) {
    std::error_code type_ec;
    const fs::file_status st = fs::status(entry, type_ec);
    if (type_ec) {
      on_error(entry, type_ec);
      continue;
    }
    if (fs::is_directory(st)) {
      bool loop = false;
      for (const fs::path& a : ancestors) {
        std::error_code eq_ec;
        loop = loop || fs::equivalent(entry, a, eq_ec);
      }
      if (loop) continue;
      ancestors.push_back(entry);
      WalkDirectory(entry, ancestors, on_file, on_error);
      ancestors.pop_back();
    } else if (fs::is_regular_file(st)) {
      on_file(entry);
    }
  }
}

}  // namespace tree_walk_detail

// Calls `on_file` for each regular file under `root`, and `on_error` for each
// entry that could not be read (the walk then goes on).
inline void WalkFiles(const std::filesystem::path& root, const FileVisitor& on_file,
                      const WalkErrorVisitor& on_error) {
  std::vector<std::filesystem::path> ancestors = {root};
  tree_walk_detail::WalkDirectory(root, ancestors, on_file, on_error);
}

}  // namespace tl::ctl
