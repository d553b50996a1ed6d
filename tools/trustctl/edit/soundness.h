// The soundness of a whole container, as verify judges it: every check of the
// checked reader, then each present stream's payload and each of its program
// blocks. verify prints these problems; the writing commands refuse a
// container that has any that stops an edit (writing into it could spread the
// damage or drop a stream it still holds). A block whose own content is odd
// is reported but does not stop an edit: the edit keeps it as stored.
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
  // The container must not be edited while it has this problem: every defect
  // of the reader and every unreadable stream; of a payload's issues, those
  // StopsEdit names.
  bool stops_edit = true;
};

// What the soundness pass hands over of one stream instead of dropping it, so
// that a writer need not read it again: its unscrambled payload for a command
// that edits the list, or, for one that replaces it whole, only the name keys
// of its blocks in stored order (the pass then walks it in pieces, and a
// replacement holds one payload, its own, at a time).
struct KeptStream {
  const char16_t* name = nullptr;  // the stream to keep (names fold 'A'-'Z')
  bool whole = true;               // keep the payload; else only `keys`
  bool found = false;              // it was present and could be read
  std::vector<uint8_t> payload;
  std::vector<uint64_t> keys;
};

// Every problem of an open container, in the order verify prints them. With
// `keep`, the payload of the stream it names is kept there.
std::vector<Problem> ContainerProblems(const ContainerReader& r, KeptStream* keep = nullptr);

// What a reader defect means, in a sentence, with the numbers of the
// container `r` reads ("the chain runs into block 7, which is marked free").
std::string DefectSentence(const ContainerReader& r, const Finding& f);

// One problem as a line: "PATH: code entry N "stream" ...: sentence".
std::string ProblemLine(const std::u16string& path, const Problem& p);

}  // namespace tl::ctl
