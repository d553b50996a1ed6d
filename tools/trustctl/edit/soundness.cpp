#include "edit/soundness.h"

#include "common/u16.h"
#include "io/format.h"
#include "view/container_view.h"

namespace tl::ctl {
namespace {

std::u16string NameOfEntry(const ContainerReader& r, int32_t entry) {
  for (const auto& e : r.entries()) {
    if (static_cast<int32_t>(e.index) == entry) return e.name;
  }
  return {};
}

}  // namespace

std::string DefectSentence(const ContainerReader& r, const Finding& f) {
  const Geometry& g = r.geometry();
  const std::string block = std::to_string(f.block);
  switch (f.defect) {
    case Defect::kHeaderShort:
      return "the file ends at " + std::to_string(r.file_size()) + " bytes, a header needs " +
             std::to_string(kHeaderSize);
    case Defect::kHeaderMagic:
      return "the file does not begin with the container's magic number";
    case Defect::kHeaderVersion:
      return "the header names a format version above 0x10000";
    case Defect::kHeaderCrc:
      return "the header's check value does not match its bytes";
    case Defect::kHeaderGeometry:
      return "the block size, table or directory count lies outside the format";
    case Defect::kReservedEntry:
      return "table entry 0 or 1 does not hold its reserved value";
    case Defect::kNameUnterminated:
      return "the stream name has no terminating zero within 16 characters";
    case Defect::kNameEmpty:
      return "a present stream has no name";
    case Defect::kNameDuplicate:
      return "another present stream has the same name";
    case Defect::kLinkOutOfRange:
      return "a link names block " + block + ", beyond the " + std::to_string(g.table_entries) +
             "-entry table";
    case Defect::kLinkToReserved:
      return "a link names reserved table entry " + block;
    case Defect::kChainFreeBlock:
      return "the chain runs into block " + block + ", which is marked free";
    case Defect::kChainLoop:
      return "the chain returns to its own block " + block;
    case Defect::kBlockShared:
      return "block " + block + " lies on the chains of two streams";
    case Defect::kChainShort:
      return "the chain ends before the stream's recorded size";
    case Defect::kChainLong:
      return "the chain goes on past the stream's recorded size";
    case Defect::kBlockPastEnd:
      return "block " + block + " lies beyond the end of the " + std::to_string(r.file_size()) +
             "-byte file";
    case Defect::kBlockOrphaned:
      return "block " + block + " is marked in use but lies on no stream's chain";
    case Defect::kNotPresent:
      return "the directory entry holds no stream";
    case Defect::kReadFailed:
      return "the file could not be read";
    case Defect::kNoMemory:
      return "there was not enough memory to check it";
    case Defect::kNone:
      break;
  }
  return "";
}

std::vector<Problem> ContainerProblems(const ContainerReader& r, KeptStream* keep) {
  std::vector<Problem> problems;
  std::vector<bool> chain_bad(r.entries().size() + 1, false);
  for (const Finding& f : r.Verify()) {
    Problem p;
    p.code = DefectName(f.defect);
    p.entry = f.entry;
    p.table_block = f.block;
    p.text = DefectSentence(r, f);
    if (f.entry >= 0) {
      p.stream = NameOfEntry(r, f.entry);
      if (static_cast<size_t>(f.entry) < chain_bad.size()) chain_bad[f.entry] = true;
    }
    problems.push_back(std::move(p));
  }
  if (!r.header_valid()) return problems;
  for (const DirEntryInfo& e : r.entries()) {
    if (!e.present() || (e.index < chain_bad.size() && chain_bad[e.index])) continue;
    // The first present stream of the name is the one a write replaces.
    const bool kept = keep != nullptr && !keep->found && keep->name != nullptr &&
                      U16EqualFoldAscii(e.name.c_str(), keep->name);
    StreamContents s;
    std::string error;
    // Only the issues are wanted: the blocks are walked, not kept. A stream
    // no command takes whole is walked in pieces, so judging a full container
    // costs one piece's memory at a time.
    const bool read = kept && keep->whole
                          ? ReadStreamContents(r, e.index, &s, &error, /*keep_blocks=*/false)
                          : WalkStream(r, e.index, &s.view, &error, [&](const PayloadBlock& b) {
                              if (kept) keep->keys.push_back(b.decoded.key);
                            });
    if (!read) {
      if (kept) keep->keys.clear();
      problems.push_back({"unreadable", static_cast<int32_t>(e.index), e.name, -1, -1, -1, error});
      continue;
    }
    if (kept && keep->whole) {
      s.view = WalkPayload(s.payload.data(), s.payload.size(), [](const PayloadBlock&) {});
    }
    for (const PayloadIssue& issue : s.view.issues) {
      problems.push_back({issue.block >= 0 ? "block" : "payload", static_cast<int32_t>(e.index),
                          e.name, -1, issue.offset, issue.block >= 0 ? issue.block + 1 : -1,
                          issue.text, StopsEdit(issue.kind)});
    }
    if (kept) {
      keep->found = true;
      keep->payload.swap(s.payload);
    }
  }
  return problems;
}

std::string ProblemLine(const std::u16string& path, const Problem& p) {
  std::string s = Shown(path) + ": " + p.code;
  if (p.entry >= 0) {
    s += " entry " + std::to_string(p.entry);
    if (!p.stream.empty()) s += " \"" + Printable(std::u16string_view(p.stream)) + "\"";
  }
  if (p.table_block >= 0) s += " block " + std::to_string(p.table_block);
  if (p.program_block > 0) s += " program block " + std::to_string(p.program_block);
  if (p.payload_offset >= 0) s += " at payload offset " + std::to_string(p.payload_offset);
  if (!p.text.empty()) s += ": " + p.text;
  return s;
}

}  // namespace tl::ctl
