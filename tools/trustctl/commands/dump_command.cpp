// trustctl dump: everything a container holds, decoded: header, table chains,
// directory, and for each stream its payload header and program blocks.
#include <CLI/CLI.hpp>
#include <cstring>
#include <memory>

#include "commands/cli_options.h"
#include "commands/command.h"
#include "common/le.h"
#include "common/u16.h"
#include "edit/capacity.h"
#include "edit/edit_session.h"
#include "io/format.h"
#include "io/json_out.h"
#include "minifile/header.h"
#include "trustctl.h"
#include "view/block_print.h"
#include "view/container_view.h"
#include "view/journal_notes.h"

namespace tl::ctl {
namespace {

struct DumpOptions {
  bool json = false;
  std::string target;  // CONTAINER[:STREAM]
  std::string stream;  // the older form: STREAM as a second argument
};

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

void PrintCapacityText(const ContainerReader& r, std::ostream& out) {
  const Capacity c = CapacityOf(r);
  out << "capacity\n  " << CapacityText(c) << "\n";
  for (const DirEntryInfo& e : r.entries()) {
    if (!e.present()) continue;
    uint64_t current = 0;
    const uint64_t room = StreamRoom(r, e.name, &current);
    out << "  stream \"" << Printable(std::u16string_view(e.name))
        << "\": " << EntriesThatFit(room, current) << " more 200-byte entries fit\n";
  }
  const uint64_t room_new = NewStreamRoom(r);
  out << "  a new stream: " << EntriesThatFit(room_new, kPayloadOverhead)
      << " 200-byte entries fit\n";
}

Json CapacityJson(const ContainerReader& r) {
  const Capacity c = CapacityOf(r);
  Json j;
  j["blockSize"] = c.block_size;
  j["blocksUsed"] = c.used;
  j["blocksFree"] = c.free;
  j["dataBlocks"] = c.data_blocks;
  j["directorySlotsFree"] = c.dir_free;
  Json more = Json::object();
  for (const DirEntryInfo& e : r.entries()) {
    if (!e.present()) continue;
    uint64_t current = 0;
    const uint64_t room = StreamRoom(r, e.name, &current);
    more[U16ToUtf8(e.name)] = EntriesThatFit(room, current);
  }
  j["moreEntriesFit"] = more;
  const uint64_t room_new = NewStreamRoom(r);
  j["newStreamEntriesFit"] = EntriesThatFit(room_new, kPayloadOverhead);
  return j;
}

bool Selected(const DirEntryInfo& e, const std::u16string* only) {
  return e.present() && (only == nullptr || U16EqualFoldAscii(e.name.c_str(), only->c_str()));
}

void DumpText(const std::u16string& path, const ContainerReader& r, const std::u16string* only,
              std::ostream& out) {
  const uint8_t* h = r.header();
  out << "container " << Shown(path) << " (" << r.file_size() << " bytes)\n";
  if (std::string code, text; JournalNote(path, r.journal_state(), &code, &text)) {
    out << "  " << code << ": " << text << "\n";
  }
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
  PrintCapacityText(r, out);
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
    if (!ReadStreamContents(r, e.index, &s, &error, /*keep_blocks=*/false)) {
      out << "  UNREADABLE     " << error << "\n";
      continue;
    }
    const PayloadHeader head = HeadOf(s.payload);
    out << "  payload        " << s.payload.size() << " bytes";
    if (head.present) {
      out << ": tag " << head.tag << ", block count " << head.count << ", blocks size "
          << head.blocks_size;
    }
    out << "\n";
    size_t i = 0;
    const PayloadView v =
        WalkPayload(s.payload.data(), s.payload.size(), [&](const PayloadBlock& b) {
          out << "  block " << ++i << " at payload offset " << b.offset << "\n";
          PrintBlockText(b.decoded, "    ", out);
        });
    for (const PayloadIssue& issue : v.issues) {
      out << "  ISSUE at " << issue.offset << ": " << issue.text << "\n";
    }
  }
}

// The whole container as one JSON document, written as it is made: each
// stream is read and walked in turn, its blocks written as they are met, and
// no list is ever held as a document.
void DumpJson(const std::u16string& path, const ContainerReader& r, const std::u16string* only,
              std::ostream& out) {
  constexpr size_t kPiece = size_t{64} << 10;  // bytes handed to `out` at once
  const uint8_t* h = r.header();
  JsonWriter w = JsonWriter::Pretty();
  w.BeginObject();
  w.Key("container");
  w.Text(path);
  w.Key("fileSize");
  w.Uint(r.file_size());
  w.Key("journal");
  w.String(JournalStateName(r.journal_state()));
  w.Key("header");
  w.BeginObject();
  w.Key("magic");
  w.String(Hex32(LoadU32(h, kHeaderMagicOffset)));
  w.Key("version");
  w.Uint(LoadU32(h, kHeaderVersionOffset));
  w.Key("text");
  w.String(std::string_view(reinterpret_cast<const char*>(h + kHeaderTextOffset), kHeaderTextSize));
  w.Key("key");
  w.String(KeyHex(h));
  w.Key("tableEntries");
  w.Uint(LoadU32(h, kHeaderTableEntriesOffset));
  w.Key("blockSize");
  w.Uint(LoadU32(h, kHeaderBlockSizeOffset));
  w.Key("directoryEntries");
  w.Uint(LoadU32(h, kHeaderDirEntriesOffset));
  w.Key("check");
  w.String(Hex32(LoadU32(h, kHeaderCrcOffset)));
  w.Key("checkMatches");
  w.Bool(LoadU32(h, kHeaderCrcOffset) == HeaderCrc(h));
  w.Key("defect");
  w.String(DefectName(r.header_defect()));
  w.EndObject();
  if (r.header_valid()) {
    w.Key("capacity");
    w.Value(CapacityJson(r));
  }
  w.Key("directory");
  w.BeginArray();
  for (const DirEntryInfo& e : r.entries()) {
    if (!r.header_valid()) break;
    w.BeginObject();
    w.Key("index");
    w.Uint(e.index);
    w.Key("name");
    w.Text(e.name);
    w.Key("present");
    w.Bool(e.present());
    w.Key("size");
    w.Uint(e.size);
    w.Key("firstBlock");
    w.Uint(e.first_block);
    w.Key("time");
    w.String(FileTimeToUtc(e.time));
    w.Key("flags");
    w.Uint(e.flags);
    if (e.present()) {
      const Chain c = FollowChain(r, e.first_block);
      w.Key("chain");
      w.BeginArray();
      for (const uint32_t b : c.blocks) w.Uint(b);
      w.EndArray();
      w.Key("chainEnd");
      w.String(c.ending);
    }
    w.EndObject();
  }
  w.EndArray();
  w.Key("streams");
  w.BeginArray();
  for (const DirEntryInfo& e : r.entries()) {
    if (!r.header_valid() || !Selected(e, only)) continue;
    w.BeginObject();
    w.Key("index");
    w.Uint(e.index);
    w.Key("name");
    w.Text(e.name);
    StreamContents s;
    std::string error;
    if (!ReadStreamContents(r, e.index, &s, &error, /*keep_blocks=*/false)) {
      w.Key("error");
      w.String(error);
      w.EndObject();
      continue;
    }
    const PayloadHeader head = HeadOf(s.payload);
    w.Key("payloadSize");
    w.Uint(s.payload.size());
    if (head.present) {
      w.Key("tag");
      w.Uint(head.tag);
      w.Key("blockCount");
      w.Uint(head.count);
      w.Key("blocksSize");
      w.Uint(head.blocks_size);
    }
    w.Key("blocks");
    w.BeginArray();
    const PayloadView v =
        WalkPayload(s.payload.data(), s.payload.size(), [&](const PayloadBlock& b) {
          PutBlockJson(w, b.decoded);
          w.FlushTo(out, kPiece);
        });
    w.EndArray();
    // "issues" follows "blocks": known once the walk is done.
    w.Key("issues");
    w.BeginArray();
    for (const PayloadIssue& issue : v.issues) {
      w.BeginObject();
      w.Key("offset");
      w.Uint(issue.offset);
      w.Key("text");
      w.String(issue.text);
      w.EndObject();
    }
    w.EndArray();
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  w.Raw("\n");
  w.FlushTo(out);
}

int RunDump(const DumpOptions& o, Io& io) {
  StreamRef ref;
  std::string error;
  if (!ParseStreamRef(o.target, &ref, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  const std::u16string& path = ref.container;
  std::u16string only;
  if (ref.explicit_stream) only = ref.stream;
  if (!o.stream.empty()) {
    if (!only.empty()) {
      Complain(io, "the stream is named twice (CONTAINER:STREAM and STREAM)");
      return kExitUsage;
    }
    only = Utf8ToU16(o.stream);
  }
  ContainerReader reader;
  if (!OpenReader(path, &reader, io, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  if (!only.empty() && reader.header_valid() && reader.FindStream(only.c_str()) < 0) {
    Complain(io, Shown(path) + ": no stream \"" + Printable(std::u16string_view(only)) + "\"");
    return kExitFailure;
  }
  const std::u16string* filter = only.empty() ? nullptr : &only;
  if (o.json) {
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

}  // namespace

Runner DeclareDump(CLI::App& app) {
  auto o = std::make_shared<DumpOptions>();
  CLI::App* s = app.add_subcommand(
      "dump",
      "Prints the header, capacity, allocation table chains, directory and every stream\n"
      "(or only STREAM): its payload header and each program block with all its fields.\n"
      "Damage is shown where it is met; exit 2 only when the container cannot be read or\n"
      "its header is unusable (verify judges the rest).");
  s->add_flag("--json", o->json, "one JSON document instead of text");
  Positional(s, "CONTAINER", o->target, "CONTAINER or CONTAINER:STREAM");
  s->add_option("STREAM", o->stream, "only this stream (same as CONTAINER:STREAM)");
  return [o](Io& io) { return RunDump(*o, io); };
}

}  // namespace tl::ctl
