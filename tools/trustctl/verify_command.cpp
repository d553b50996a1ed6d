// trustctl verify: every check of the checked reader, then each stream's
// payload structure and each program block's structure.
#include "capacity.h"
#include "command.h"
#include "common/u16.h"
#include "container_view.h"
#include "format.h"
#include "json_out.h"
#include "recovery.h"
#include "trustctl.h"

namespace tl::ctl {
namespace {

struct Problem {
  std::string code;    // reader defect name, or "payload" / "block"
  int32_t entry = -1;  // directory slot
  std::u16string stream;
  int32_t table_block = -1;     // table index for container defects
  int64_t payload_offset = -1;  // for payload and block issues
  int32_t program_block = -1;   // 1-based program block number
  std::string text;
};

std::string LineOf(const std::u16string& path, const Problem& p) {
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

std::u16string NameOfEntry(const ContainerReader& r, int32_t entry) {
  for (const auto& e : r.entries()) {
    if (static_cast<int32_t>(e.index) == entry) return e.name;
  }
  return {};
}

// What a reader defect means, in a sentence, with the numbers of this file.
std::string Sentence(const ContainerReader& r, const Finding& f) {
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

std::vector<Problem> Check(const ContainerReader& r) {
  std::vector<Problem> problems;
  std::vector<bool> chain_bad(r.entries().size() + 1, false);
  for (const Finding& f : r.Verify()) {
    Problem p;
    p.code = DefectName(f.defect);
    p.entry = f.entry;
    p.table_block = f.block;
    p.text = Sentence(r, f);
    if (f.entry >= 0) {
      p.stream = NameOfEntry(r, f.entry);
      if (static_cast<size_t>(f.entry) < chain_bad.size()) chain_bad[f.entry] = true;
    }
    problems.push_back(std::move(p));
  }
  if (!r.header_valid()) return problems;
  for (const DirEntryInfo& e : r.entries()) {
    if (!e.present() || (e.index < chain_bad.size() && chain_bad[e.index])) continue;
    StreamContents s;
    std::string error;
    if (!ReadStreamContents(r, e.index, &s, &error)) {
      problems.push_back({"unreadable", static_cast<int32_t>(e.index), e.name, -1, -1, -1, error});
      continue;
    }
    for (const PayloadIssue& issue : s.view.issues) {
      problems.push_back({issue.block >= 0 ? "block" : "payload", static_cast<int32_t>(e.index),
                          e.name, -1, issue.offset, issue.block >= 0 ? issue.block + 1 : -1,
                          issue.text});
    }
  }
  return problems;
}

}  // namespace

int RunVerify(const VerifyOptions& o, Io& io) {
  const std::u16string path = Utf8ToU16(o.container);
  ContainerReader reader;
  if (!reader.Open(path.c_str())) {
    Complain(io, Shown(path) + ": cannot open the container for reading");
    return kExitFailure;
  }
  std::vector<Problem> problems = Check(reader);
  if (const std::string note = InterruptedReplacementNote(path); !note.empty()) {
    Problem p;
    p.code = "interrupted-replacement";
    p.text = note.substr(note.find(": ") + 2);
    problems.insert(problems.begin(), p);
  }
  if (o.json) {
    Json doc;
    doc["container"] = JsonText(path);
    doc["sound"] = problems.empty();
    doc["journal"] = JournalStateName(path);
    Json defects = Json::array();
    for (const Problem& p : problems) {
      Json d;
      d["code"] = p.code;
      if (p.entry >= 0) {
        d["entry"] = p.entry;
        d["stream"] = JsonText(p.stream);
      }
      if (p.table_block >= 0) d["block"] = p.table_block;
      if (p.program_block > 0) d["programBlock"] = p.program_block;
      if (p.payload_offset >= 0) d["payloadOffset"] = p.payload_offset;
      d["text"] = p.text;
      d["line"] = LineOf(path, p);
      defects.push_back(d);
    }
    doc["defects"] = defects;
    if (reader.header_valid()) {
      const Capacity c = CapacityOf(reader);
      doc["capacity"] = {{"blocksUsed", c.used},
                         {"blocksFree", c.free},
                         {"dataBlocks", c.data_blocks},
                         {"blockSize", c.block_size},
                         {"directorySlotsFree", c.dir_free},
                         {"newStreamEntriesFit",
                          EntriesThatFit(c.dir_free == 0 ? 0 : uint64_t{c.free} * c.block_size,
                                         kPayloadOverhead)}};
    }
    PrintJson(io.out, doc);
  } else {
    if (problems.empty()) {
      io.out << Shown(path) << ": ok\n";
    } else {
      for (const Problem& p : problems) io.out << LineOf(path, p) << "\n";
    }
    if (reader.header_valid() && !io.quiet) {
      io.out << Shown(path) << ": " << CapacityText(CapacityOf(reader)) << "\n";
      for (const DirEntryInfo& e : reader.entries()) {
        if (!e.present()) continue;
        uint64_t current = 0;
        const uint64_t room = StreamRoom(reader, e.name, &current);
        io.out << Shown(path) << ": stream \"" << Printable(std::u16string_view(e.name))
               << "\": " << EntriesThatFit(room, current) << " more 200-byte entries fit\n";
      }
    }
  }
  return problems.empty() ? kExitOk : kExitFindings;
}

}  // namespace tl::ctl
