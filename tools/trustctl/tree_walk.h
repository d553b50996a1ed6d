// Walking a directory tree for hash -r and lint --against: every regular file
// (symbolic links to files included), directories entered once. A directory
// that is the same as one of its ancestors (a link back up the tree, such as
// /usr/bin/X11 -> ., which Wine presents as a plain directory) is not entered
// again, so a loop cannot make the walk endless.
#pragma once

#include <filesystem>
#include <functional>
#include <system_error>
#include <vector>

namespace tl::ctl {

// Calls `on_file` for each regular file under `root`, in directory order.
// Returns the first error that stopped the listing (none: a default error_code).
inline std::error_code WalkFiles(const std::filesystem::path& root,
                                 const std::function<void(const std::filesystem::path&)>& on_file) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<fs::path> open_dirs = {root};  // open_dirs[d]: the directory of depth-d entries
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code type_ec;
    const auto depth = static_cast<size_t>(it.depth());
    if (it->is_directory(type_ec)) {
      bool loop = false;
      for (size_t d = 0; d <= depth && d < open_dirs.size() && !loop; ++d) {
        std::error_code eq_ec;
        loop = fs::equivalent(it->path(), open_dirs[d], eq_ec);
      }
      if (loop) {
        it.disable_recursion_pending();
        continue;
      }
      open_dirs.resize(depth + 1);
      open_dirs.push_back(it->path());
      continue;
    }
    if (it->is_regular_file(type_ec)) on_file(it->path());
  }
  return ec;
}

}  // namespace tl::ctl
