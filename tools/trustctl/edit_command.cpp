// trustctl add / remove: read-modify-write of one stream. The stream's entries
// are kept byte for byte, programs are added through the library's own program
// entry builder (from a filled program description record), entries are
// removed by name key; the container is written only once all of that worked.
#include <cstring>
#include <memory>

#include "args.h"
#include "blocklist/program_block.h"
#include "command.h"
#include "common/le.h"
#include "common/u16.h"
#include "entry/program_builder.h"
#include "fingerprint/link_time_stamp.h"
#include "format.h"
#include "list_store.h"
#include "platform/file.h"
#include "trustctl.h"

namespace tl::ctl {
namespace {

// One program as given on the command line.
struct ProgramSpec {
  std::u16string path;
  std::u16string tokens, text1, text2, text3;
  uint32_t value = 0;
  uint32_t pair_first = 0, pair_second = 0;
  std::u16string timestamp_file, fingerprint_file;
};

const std::vector<OptionSpec> kAddOptions = {
    {"--path", true},  {"--tokens", true},         {"--text1", true},
    {"--text2", true}, {"--text3", true},          {"--value", true},
    {"--pair", true},  {"--timestamp-file", true}, {"--fingerprint-file", true},
    {"--file", true},
};

bool ParsePrograms(const Args& args, std::vector<ProgramSpec>* out, std::string* error) {
  for (const auto& [name, value] : args.options) {
    if (name == "--path") {
      out->push_back(ProgramSpec());
      out->back().path = Utf8ToU16(value);
      continue;
    }
    if (out->empty()) {
      *error = name + " comes before the first --path";
      return false;
    }
    ProgramSpec& p = out->back();
    const std::u16string v = Utf8ToU16(value);
    if (name == "--tokens") {
      p.tokens = v;
    } else if (name == "--text1") {
      p.text1 = v;
    } else if (name == "--text2") {
      p.text2 = v;
    } else if (name == "--text3") {
      p.text3 = v;
    } else if (name == "--timestamp-file") {
      p.timestamp_file = v;
    } else if (name == "--fingerprint-file") {
      p.fingerprint_file = v;
    } else if (name == "--file") {
      p.timestamp_file = p.fingerprint_file = v;
    } else if (name == "--value") {
      if (!ParseU32(value, &p.value) || p.value == 0) {
        *error = "--value takes a number from 1 to 0xffffffff (0 means no value)";
        return false;
      }
    } else if (name == "--pair") {
      const size_t comma = value.find(',');
      if (comma == std::string::npos || !ParseU32(value.substr(0, comma), &p.pair_first) ||
          !ParseU32(value.substr(comma + 1), &p.pair_second) || p.pair_first == 0) {
        *error = "--pair takes N,M with N from 1 to 0xffffffff (N 0 means no pair)";
        return false;
      }
    }
  }
  if (out->empty()) {
    *error = "add needs at least one --path";
    return false;
  }
  return true;
}

// Writes `s` into the record field at `offset` of `units` units, terminated.
bool PutString(std::vector<uint8_t>& record, size_t offset, size_t units, const std::u16string& s,
               const char* what, std::string* error) {
  if (s.size() + 1 > units || s.find(u'\0') != std::u16string::npos) {
    *error = std::string(what) + " is longer than " + std::to_string(units - 1) + " characters";
    return false;
  }
  for (size_t i = 0; i < s.size(); ++i) StoreU16(record.data(), offset + 2 * i, s[i]);
  return true;
}

// Fills a program description record for `p`. The two file paths are passed by
// address, as a caller of the library passes them: `p` must outlive the build.
bool FillRecord(const ProgramSpec& p, std::vector<uint8_t>* record, std::string* error) {
  // text3 runs to the end of the record; the builder takes at most 599 units.
  if (p.text3.size() > kPdMaxStringUnits) {
    *error = "--text3 is longer than " + std::to_string(kPdMaxStringUnits) + " characters";
    return false;
  }
  const size_t text3_end = kPdText3Offset + 2 * (p.text3.size() + 1);
  const size_t size = text3_end > kPdMinSize ? text3_end : kPdMinSize;
  record->assign(size, 0);
  std::vector<uint8_t>& r = *record;
  StoreU32(r.data(), kPdCbSizeOffset, static_cast<uint32_t>(size));
  if (!PutString(r, kPdPathOffset, kPdPathUnits, p.path, "--path", error) ||
      !PutString(r, kPdTokenListOffset, kPdTokenListUnits, p.tokens, "--tokens", error) ||
      !PutString(r, kPdText1Offset, kPdTextUnits, p.text1, "--text1", error) ||
      !PutString(r, kPdText2Offset, kPdTextUnits, p.text2, "--text2", error) ||
      !PutString(r, kPdText3Offset, (size - kPdText3Offset) / 2, p.text3, "--text3", error)) {
    return false;
  }
  StoreU32(r.data(), kPdValueSingleOffset, p.value);
  StoreU32(r.data(), kPdValuePairFirstOffset, p.pair_first);
  StoreU32(r.data(), kPdValuePairSecondOffset, p.pair_second);
  if (!p.timestamp_file.empty()) {
    StoreU64(r.data(), kPdTimeStampFileOffset,
             reinterpret_cast<uintptr_t>(p.timestamp_file.c_str()));
  }
  if (!p.fingerprint_file.empty()) {
    StoreU64(r.data(), kPdFingerprintFileOffset,
             reinterpret_cast<uintptr_t>(p.fingerprint_file.c_str()));
  }
  return true;
}

// The library stores a fingerprint of 0 for a file it cannot open, and leaves
// the stamp out for a file it cannot read; a tool asked for them says so
// instead of storing an entry the user did not mean.
bool CheckFiles(const ProgramSpec& p, Io& io, std::string* error) {
  for (const std::u16string* f : {&p.timestamp_file, &p.fingerprint_file}) {
    if (!f->empty() && !platform::OpenFileForReading(f->c_str())) {
      *error = Shown(*f) + ": cannot open the file for reading";
      return false;
    }
  }
  if (!p.timestamp_file.empty() && ReadLinkTimeStamp(p.timestamp_file.c_str(), nullptr) == 0) {
    Complain(io, Shown(p.timestamp_file) +
                     ": not an executable with a PE header; no link time stamp is stored");
  }
  return true;
}

bool LoadForEdit(const std::string& ref_text, bool missing_ok, StreamRef* ref,
                 StreamContents* contents, CVarBlockList& list, std::string* error) {
  *ref = ParseStreamRef(ref_text);
  if (!ValidStreamName(ref->stream, error)) return false;
  LoadOptions options;
  options.missing_ok = missing_ok;
  options.require_sound = true;
  if (!LoadList(*ref, options, contents, error)) return false;
  if (missing_ok && !CheckWritable(ref->container, error)) return false;
  return KeepEntries(*contents, list, error);
}

std::string Target(const StreamRef& ref) {
  return "stream \"" + Printable(std::u16string_view(ref.stream)) + "\" of " + Shown(ref.container);
}

}  // namespace

int RunAdd(const std::vector<std::string>& argv, Io& io) {
  Args args;
  std::string error;
  std::vector<ProgramSpec> programs;
  if (!ParseArgs(argv, kAddOptions, &args, &error) || !ParsePrograms(args, &programs, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  if (args.positional.size() != 1) {
    Complain(io, "add takes one CONTAINER[:STREAM]");
    return kExitUsage;
  }
  StreamRef ref;
  StreamContents contents;
  CVarBlockList list;
  if (!LoadForEdit(args.positional[0], /*missing_ok=*/true, &ref, &contents, list, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  const uint32_t kept = list.GetCount();
  std::vector<std::string> report;
  for (const ProgramSpec& p : programs) {
    std::vector<uint8_t> record;
    if (!FillRecord(p, &record, &error)) {
      Complain(io, error);
      return kExitUsage;
    }
    if (!CheckFiles(p, io, &error)) {
      Complain(io, error);
      return kExitFailure;
    }
    auto work = std::make_unique<uint8_t[]>(kProgramWorkBytes);
    uint32_t block_size = 0;
    if (BuildProgramBlock(record.data(), work.get(), &block_size) == 0) {
      Complain(io, "\"" + Printable(std::u16string_view(p.path)) +
                       "\": a program needs at least one attribute besides its path");
      return kExitUsage;
    }
    DecodedProgramBlock b;
    DecodeProgramBlock(work.get(), block_size, &b);
    const bool replaces = list.FindBlock(b.key) != nullptr;
    if (list.AddBlockCopy(work.get()) == 0) {
      Complain(io, "out of memory while building the list; nothing was written");
      return kExitFailure;
    }
    report.push_back((replaces ? "replaced \"" : "added \"") +
                     Printable(std::u16string_view(b.name)) + "\" key " + Hex64(b.key) + " flags " +
                     Hex32(b.flags));
  }
  uint32_t payload_bytes = 0;
  if (!StoreList(ref.container, ref.stream, list, &payload_bytes, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  for (const auto& line : report) io.out << line << "\n";
  io.out << "wrote " << Target(ref) << ": " << list.GetCount() << " blocks (" << kept << " kept), "
         << payload_bytes << "-byte payload\n";
  return kExitOk;
}

int RunRemove(const std::vector<std::string>& argv, Io& io) {
  Args args;
  std::string error;
  if (!ParseArgs(argv, {}, &args, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  if (args.positional.size() < 2) {
    Complain(io, "remove takes CONTAINER[:STREAM] and at least one NAME");
    return kExitUsage;
  }
  StreamRef ref;
  StreamContents contents;
  CVarBlockList list;
  if (!LoadForEdit(args.positional[0], /*missing_ok=*/false, &ref, &contents, list, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  std::vector<std::string> report;
  bool all_found = true;
  for (size_t i = 1; i < args.positional.size(); ++i) {
    const std::u16string name = Utf8ToU16(args.positional[i]);
    const uint64_t key = ComputeNameKey(name.c_str());
    const std::string shown = "\"" + Printable(std::u16string_view(name)) + "\"";
    if (key != 0 && list.RemoveByKey(key) != 0) {
      report.push_back("removed " + shown + " key " + Hex64(key));
    } else {
      report.push_back("not present: " + shown);
      all_found = false;
    }
  }
  for (const auto& line : report) io.out << line << "\n";
  if (list.GetCount() == contents.view.blocks.size()) {
    io.out << Target(ref) << " is unchanged\n";
    return all_found ? kExitOk : kExitFindings;
  }
  uint32_t payload_bytes = 0;
  if (!StoreList(ref.container, ref.stream, list, &payload_bytes, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  io.out << "wrote " << Target(ref) << ": " << list.GetCount() << " blocks, " << payload_bytes
         << "-byte payload\n";
  return all_found ? kExitOk : kExitFindings;
}

}  // namespace tl::ctl
