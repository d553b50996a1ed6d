// trustctl dump: everything a container holds, decoded: header, table chains,
// directory, and for each stream its payload header and program blocks.
#include <cstring>

#include "args.h"
#include "block_print.h"
#include "command.h"
#include "common/le.h"
#include "common/u16.h"
#include "container_view.h"
#include "format.h"
#include "json_writer.h"
#include "minifile/header.h"
#include "trustctl.h"

namespace tl::ctl {
namespace {

std::string KeyHex(const uint8_t* header) {
  std::string s;
  char buf[4];
  for (uint32_t i = 0; i < kHeaderKeySize; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", header[kHeaderKeyOffset + i]);
    s += buf;
  }
  return s;
}

std::string HeaderText(const uint8_t* header) {
  std::string s(reinterpret_cast<const char*>(header + kHeaderTextOffset), kHeaderTextSize);
  return Printable(std::string_view(s));
}

// The chain of a stream as a list of links: the blocks in order, then how it
// ended ("end", or the link value that stopped it). At most T steps.
struct Chain {
  std::vector<uint32_t> blocks;
  std::string ending;
};

Chain FollowChain(const ContainerReader& r, uint16_t first) {
  Chain c;
  const Geometry& g = r.geometry();
  std::vector<bool> seen(g.table_entries, false);
  uint32_t b = first;
  while (true) {
    if (b == kLinkEnd) {
      c.ending = "end";
      break;
    }
    if (!g.IsDataBlock(b)) {
      c.ending = "bad link " + std::to_string(b);
      break;
    }
    if (seen[b]) {
      c.ending = "loop back to " + std::to_string(b);
      break;
    }
    seen[b] = true;
    c.blocks.push_back(b);
    b = r.Link(b);
    if (b == kLinkFree) {
      c.ending = "free block";
      break;
    }
  }
  return c;
}

std::string ChainText(const Chain& c) {
  std::string s;
  for (uint32_t b : c.blocks) s += std::to_string(b) + " -> ";
  return s + c.ending;
}

bool Selected(const DirEntryInfo& e, const std::u16string* only) {
  return e.present() && (only == nullptr || U16EqualFoldAscii(e.name.c_str(), only->c_str()));
}

void DumpText(const std::u16string& path, const ContainerReader& r, const std::u16string* only,
              std::ostream& out) {
  const uint8_t* h = r.header();
  out << "container " << Shown(path) << " (" << r.file_size() << " bytes)\n";
  out << "header\n";
  out << "  magic          " << Hex32(LoadU32(h, kHeaderMagicOffset)) << "\n";
  out << "  version        " << Hex32(LoadU32(h, kHeaderVersionOffset)) << "\n";
  out << "  text           \"" << HeaderText(h) << "\"\n";
  out << "  key            " << KeyHex(h) << " (RC4 key: the first 8 bytes)\n";
  out << "  table entries  " << LoadU32(h, kHeaderTableEntriesOffset) << "\n";
  out << "  block size     " << LoadU32(h, kHeaderBlockSizeOffset) << "\n";
  out << "  dir entries    " << LoadU32(h, kHeaderDirEntriesOffset) << "\n";
  out << "  check          " << Hex32(LoadU32(h, kHeaderCrcOffset))
      << (LoadU32(h, kHeaderCrcOffset) == HeaderCrc(h) ? " (matches)" : " (does not match)")
      << "\n";
  if (!r.header_valid()) {
    out << "  UNUSABLE       " << DefectName(r.header_defect()) << "\n";
    return;
  }
  const Geometry& g = r.geometry();
  out << "  layout         table at " << g.table_offset << ", directory at " << g.dir_offset
      << ", data at " << g.data_offset << "\n";
  uint32_t used = 0;
  for (uint32_t b = kFirstDataBlock; b < g.table_entries; ++b) used += r.Link(b) != kLinkFree;
  out << "  blocks in use  " << used << " of " << g.table_entries - kFirstDataBlock << "\n";
  out << "directory\n";
  for (const DirEntryInfo& e : r.entries()) {
    out << "  [" << e.index << "] ";
    if (e.free() && !e.present()) {
      out << "free\n";
      continue;
    }
    out << "\"" << Printable(std::u16string_view(e.name)) << "\" "
        << (e.present() ? "present" : "not present") << ", " << e.size << " bytes, written "
        << FileTimeToUtc(e.time) << ", flags " << Hex16(e.flags) << "\n";
    if (e.present()) out << "      chain " << ChainText(FollowChain(r, e.first_block)) << "\n";
  }
  for (const DirEntryInfo& e : r.entries()) {
    if (!Selected(e, only)) continue;
    out << "stream [" << e.index << "] \"" << Printable(std::u16string_view(e.name)) << "\"\n";
    StreamContents s;
    std::string error;
    if (!ReadStreamContents(r, e.index, &s, &error)) {
      out << "  UNREADABLE     " << error << "\n";
      continue;
    }
    const PayloadView& v = s.view;
    out << "  payload        " << v.length << " bytes";
    if (v.has_header) {
      out << ": tag " << v.tag << ", block count " << v.count << ", blocks size " << v.blocks_size;
    }
    out << "\n";
    for (size_t i = 0; i < v.blocks.size(); ++i) {
      out << "  block " << i + 1 << " at payload offset " << v.blocks[i].offset << "\n";
      PrintBlockText(v.blocks[i].decoded, "    ", out);
    }
    for (const PayloadIssue& issue : v.issues) {
      out << "  ISSUE at " << issue.offset << ": " << issue.text << "\n";
    }
  }
}

void DumpJson(const std::u16string& path, const ContainerReader& r, const std::u16string* only,
              std::ostream& out) {
  const uint8_t* h = r.header();
  JsonWriter json(out);
  json.BeginObject();
  json.Field("container", path);
  json.Field("fileSize", r.file_size());
  json.Key("header");
  json.BeginObject();
  json.Field("magic", Hex32(LoadU32(h, kHeaderMagicOffset)));
  json.Field("version", LoadU32(h, kHeaderVersionOffset));
  json.Field("text",
             std::string(reinterpret_cast<const char*>(h + kHeaderTextOffset), kHeaderTextSize));
  json.Field("key", KeyHex(h));
  json.Field("tableEntries", LoadU32(h, kHeaderTableEntriesOffset));
  json.Field("blockSize", LoadU32(h, kHeaderBlockSizeOffset));
  json.Field("directoryEntries", LoadU32(h, kHeaderDirEntriesOffset));
  json.Field("check", Hex32(LoadU32(h, kHeaderCrcOffset)));
  json.Field("checkMatches", LoadU32(h, kHeaderCrcOffset) == HeaderCrc(h));
  json.Field("defect", DefectName(r.header_defect()));
  json.EndObject();
  json.Key("directory");
  json.BeginArray();
  if (r.header_valid()) {
    for (const DirEntryInfo& e : r.entries()) {
      json.BeginObject();
      json.Field("index", e.index);
      json.Field("name", e.name);
      json.Field("present", e.present());
      json.Field("size", e.size);
      json.Field("firstBlock", e.first_block);
      json.Field("time", FileTimeToUtc(e.time));
      json.Field("flags", e.flags);
      if (e.present()) {
        const Chain c = FollowChain(r, e.first_block);
        json.Key("chain");
        json.BeginArray();
        for (uint32_t b : c.blocks) json.Number(b);
        json.EndArray();
        json.Field("chainEnd", c.ending);
      }
      json.EndObject();
    }
  }
  json.EndArray();
  json.Key("streams");
  json.BeginArray();
  if (r.header_valid()) {
    for (const DirEntryInfo& e : r.entries()) {
      if (!Selected(e, only)) continue;
      json.BeginObject();
      json.Field("index", e.index);
      json.Field("name", e.name);
      StreamContents s;
      std::string error;
      if (!ReadStreamContents(r, e.index, &s, &error)) {
        json.Field("error", error);
        json.EndObject();
        continue;
      }
      const PayloadView& v = s.view;
      json.Field("payloadSize", v.length);
      if (v.has_header) {
        json.Field("tag", v.tag);
        json.Field("blockCount", v.count);
        json.Field("blocksSize", v.blocks_size);
      }
      json.Key("blocks");
      json.BeginArray();
      for (const PayloadBlock& b : v.blocks) WriteBlockJson(b.decoded, json);
      json.EndArray();
      json.Key("issues");
      json.BeginArray();
      for (const PayloadIssue& issue : v.issues) {
        json.BeginObject();
        json.Field("offset", issue.offset);
        json.Field("text", issue.text);
        json.EndObject();
      }
      json.EndArray();
      json.EndObject();
    }
  }
  json.EndArray();
  json.EndObject();
}

}  // namespace

int RunDump(const std::vector<std::string>& argv, Io& io) {
  Args args;
  std::string error;
  if (!ParseArgs(argv, {{"--json", false}}, &args, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  if (args.positional.empty() || args.positional.size() > 2) {
    Complain(io, "dump takes CONTAINER and an optional STREAM");
    return kExitUsage;
  }
  const std::u16string path = Utf8ToU16(args.positional[0]);
  std::u16string only;
  if (args.positional.size() == 2) only = Utf8ToU16(args.positional[1]);
  ContainerReader reader;
  if (!reader.Open(path.c_str())) {
    Complain(io, Shown(path) + ": cannot open the container for reading");
    return kExitFailure;
  }
  if (!only.empty() && reader.header_valid() && reader.FindStream(only.c_str()) < 0) {
    Complain(io, Shown(path) + ": no stream \"" + Printable(std::u16string_view(only)) + "\"");
    return kExitFailure;
  }
  const std::u16string* filter = only.empty() ? nullptr : &only;
  if (args.Has("--json")) {
    DumpJson(path, reader, filter, io.out);
  } else {
    DumpText(path, reader, filter, io.out);
  }
  if (!reader.header_valid()) {
    Complain(io,
             Shown(path) + ": not a usable container (" + DefectName(reader.header_defect()) + ")");
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace tl::ctl
