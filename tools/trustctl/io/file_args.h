// The files a list of path arguments names, as hash and add --hash-of take
// them: a file is itself ("-" is standard input), a directory is walked with
// `recursive` (sorted, so that the same tree always gives the same list) and
// refused without it. Every argument that names no file to read leaves a
// message in its place, in order, so a caller reports it where it stood.
#pragma once

#include <string>
#include <vector>

namespace tl::ctl {

struct FileArg {
  std::string arg;    // the file, as a UTF-8 argument ("-": standard input)
  std::string error;  // set instead: a directory without -r, an entry that cannot be read
};

std::vector<FileArg> CollectFiles(const std::vector<std::string>& args, bool recursive);

}  // namespace tl::ctl
