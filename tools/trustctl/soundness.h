// The soundness of a whole container, as verify judges it: every check of the
// checked reader, then each present stream's payload and each of its program
// blocks. verify prints these problems; the writing commands refuse a
// container that has any (writing into it could spread the damage or drop a
// stream it still holds).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "minifile/container_reader.h"

namespace tl::ctl {

struct Problem {
  std::string code;    // reader defect name, or "payload" / "block" / "unreadable"
  int32_t entry = -1;  // directory slot
  std::u16string stream;
  int32_t table_block = -1;     // table index for container defects
  int64_t payload_offset = -1;  // for payload and block issues
  int32_t program_block = -1;   // 1-based program block number
  std::string text;
};

// Every problem of an open container, in the order verify prints them.
std::vector<Problem> ContainerProblems(const ContainerReader& r);

// One problem as a line: "PATH: code entry N "stream" ...: sentence".
std::string ProblemLine(const std::u16string& path, const Problem& p);

}  // namespace tl::ctl
