// trustctl verify: every check of the checked reader, then each stream's
// payload structure and each program block's structure.
#include "args.h"
#include "command.h"
#include "common/u16.h"
#include "container_view.h"
#include "format.h"
#include "json_writer.h"
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

std::vector<Problem> Check(const ContainerReader& r) {
  std::vector<Problem> problems;
  std::vector<bool> chain_bad(r.entries().size() + 1, false);
  for (const Finding& f : r.Verify()) {
    Problem p;
    p.code = DefectName(f.defect);
    p.entry = f.entry;
    p.table_block = f.block;
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

int RunVerify(const std::vector<std::string>& argv, Io& io) {
  Args args;
  std::string error;
  if (!ParseArgs(argv, {{"--json", false}}, &args, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  if (args.positional.size() != 1) {
    Complain(io, "verify takes exactly one CONTAINER");
    return kExitUsage;
  }
  const std::u16string path = Utf8ToU16(args.positional[0]);
  ContainerReader reader;
  if (!reader.Open(path.c_str())) {
    Complain(io, Shown(path) + ": cannot open the container for reading");
    return kExitFailure;
  }
  const std::vector<Problem> problems = Check(reader);
  if (args.Has("--json")) {
    JsonWriter json(io.out);
    json.BeginObject();
    json.Field("container", path);
    json.Field("sound", problems.empty());
    json.Key("defects");
    json.BeginArray();
    for (const Problem& p : problems) {
      json.BeginObject();
      json.Field("code", p.code);
      if (p.entry >= 0) {
        json.Field("entry", p.entry);
        json.Field("stream", p.stream);
      }
      if (p.table_block >= 0) json.Field("block", p.table_block);
      if (p.program_block > 0) json.Field("programBlock", p.program_block);
      if (p.payload_offset >= 0)
        json.Field("payloadOffset", static_cast<uint64_t>(p.payload_offset));
      json.Field("text", p.text);
      json.Field("line", LineOf(path, p));
      json.EndObject();
    }
    json.EndArray();
    json.EndObject();
  } else if (problems.empty()) {
    io.out << Shown(path) << ": ok\n";
  } else {
    for (const Problem& p : problems) io.out << LineOf(path, p) << "\n";
  }
  return problems.empty() ? kExitOk : kExitFindings;
}

}  // namespace tl::ctl
