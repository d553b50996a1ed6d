// trustctl export: a list as text for version control and review. jsonl: one
// object per entry, in list order, with every field (and the stored bytes where
// the fields cannot rebuild them); hashlist: "size crc" lines, which only a list
// of fingerprint-only entries can become without loss.
#include <cstdio>

#include "blocklist/program_block.h"
#include "command.h"
#include "container_view.h"
#include "entry_json.h"
#include "format.h"
#include "output_file.h"
#include "trustctl.h"

namespace tl::ctl {
namespace {

// An entry the hash list import would make: only its name, the hash name of
// its fingerprint, and the fingerprint.
bool IsFingerprintOnly(const DecodedProgramBlock& b) {
  char16_t name[kHashNameLen + 1];
  U16FormatHashName(name, static_cast<uint32_t>(b.fingerprint >> 32),
                    static_cast<uint32_t>(b.fingerprint));
  return b.flags == PB_FINGERPRINT && b.defects == 0 && b.name == name;
}

}  // namespace

int RunExport(const ExportOptions& o, Io& io) {
  if (o.format != "jsonl" && o.format != "hashlist") {
    Complain(io, "--format is jsonl or hashlist");
    return kExitUsage;
  }
  StreamRef ref;
  std::string error;
  if (!ParseStreamRef(o.target, &ref, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  StreamContents contents;
  LoadOptions options;
  if (!LoadList(ref, options, &contents, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  const PayloadView& v = contents.view;
  // Odd entries are exported with their bytes; a payload whose blocks cannot
  // all be told apart is not a list that can be exported without loss.
  constexpr uint32_t kUnbounded =
      kPbDefectTooShort | kPbDefectSizeRange | kPbDefectSizeBeyondBuffer | kPbDefectSizeShape;
  bool whole = true;
  for (const PayloadIssue& issue : v.issues) whole = whole && issue.block >= 0;
  for (const PayloadBlock& b : v.blocks) whole = whole && (b.decoded.defects & kUnbounded) == 0;
  if (!whole) {
    Complain(io, Shown(ref.container) + ": \"" + Printable(std::u16string_view(ref.stream)) +
                     "\": damaged payload (" + v.issues[0].text +
                     "); only a sound list is exported");
    return kExitFailure;
  }
  std::string text;
  size_t skipped = 0;
  for (size_t i = 0; i < v.blocks.size(); ++i) {
    const DecodedProgramBlock& b = v.blocks[i].decoded;
    if (o.format == "jsonl") {
      text += JsonLine(EntryToJson(contents.BlockBytes(i), b.size)) + "\n";
      continue;
    }
    if (!IsFingerprintOnly(b)) {
      if (o.skip_other) {
        ++skipped;
        continue;
      }
      Complain(io, "entry " + std::to_string(i + 1) + " \"" +
                       Printable(std::u16string_view(b.name)) +
                       "\" is not a fingerprint-only entry; a hash list cannot hold it (use "
                       "--skip-other to leave such entries out); nothing was written");
      return kExitFailure;
    }
    char line[32];
    std::snprintf(line, sizeof line, "%08x %08x\n", static_cast<unsigned>(b.fingerprint >> 32),
                  static_cast<unsigned>(b.fingerprint));
    text += line;
  }
  if (!WriteOutput(o.output, text, io, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  if (skipped != 0) {
    Complain(io, std::to_string(skipped) + " entries that are not fingerprint-only were left out");
  }
  return kExitOk;
}

}  // namespace tl::ctl
