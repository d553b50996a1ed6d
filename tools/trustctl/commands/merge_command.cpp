// trustctl merge: the lists of several teams into one. DST keeps its entries in
// its order; each SRC entry whose key DST does not hold is appended, in SRC
// order. An entry whose key DST holds with other content is a conflict: both
// versions are reported and DST's is kept, or SRC's with --prefer src (in DST's
// place). Identical entries are not conflicts.
#include <unordered_map>

#include "blocklist/block_header.h"
#include "commands/command.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "edit/capacity.h"
#include "edit/edit_session.h"
#include "edit/write_guards.h"
#include "entry/list_payload.h"
#include "io/format.h"
#include "io/json_out.h"
#include "platform/path_info.h"
#include "trustctl.h"
#include "view/block_compare.h"
#include "view/block_print.h"
#include "view/container_view.h"
#include "view/journal_notes.h"

namespace tl::ctl {
namespace {

struct Entry {
  std::vector<uint8_t> bytes;  // the stored block
  DecodedProgramBlock decoded;
};

struct Added {
  std::string source;
  size_t entry;
  DecodedProgramBlock decoded;
};

struct Conflict {
  std::string source;
  size_t entry;
  DecodedProgramBlock dst, src;
};

std::string Target(const StreamRef& ref) {
  return "stream \"" + Printable(std::u16string_view(ref.stream)) + "\" of " + Shown(ref.container);
}

LoadOptions SoundOptions(bool missing_ok) {
  LoadOptions options;
  options.missing_ok = missing_ok;
  options.require_sound = true;
  return options;
}

bool LoadSound(const StreamRef& ref, bool missing_ok, StreamContents* c, Io& io,
               std::string* error) {
  return LoadList(ref, SoundOptions(missing_ok), c, io, error);
}

}  // namespace

int RunMerge(const MergeOptions& o, Io& io) {
  if (o.prefer != "dst" && o.prefer != "src") {
    Complain(io, "--prefer is dst or src");
    return kExitUsage;
  }
  StreamRef dst;
  std::string error;
  if (!ParseStreamRef(o.dst, &dst, &error) || !ValidStreamName(dst.stream, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  std::vector<StreamRef> srcs(o.srcs.size());
  for (size_t i = 0; i < o.srcs.size(); ++i) {
    if (!ParseStreamRef(o.srcs[i], &srcs[i], &error)) {
      Complain(io, error);
      return kExitUsage;
    }
  }
  // The destination is read and written under one hold (a dry run only reads).
  EditSession session;
  ContainerReader by_path;
  const ContainerReader* look = nullptr;
  StreamContents dst_contents;
  const bool loaded =
      BeginWrite(&session, o.dry_run, dst.container, dst.stream, o.rules.new_stream, &by_path,
                 &look, io, &error) &&
      (o.dry_run ? LoadSound(dst, /*missing_ok=*/true, &dst_contents, io, &error)
                 : session.Load(dst, SoundOptions(/*missing_ok=*/true), &dst_contents, &error));
  if (!loaded) {
    Complain(io, error);
    return kExitFailure;
  }
  std::vector<Entry> entries;
  std::unordered_map<uint64_t, size_t> by_key;
  for (size_t i = 0; i < dst_contents.view.blocks.size(); ++i) {
    const DecodedProgramBlock& b = dst_contents.view.blocks[i].decoded;
    const uint8_t* p = dst_contents.BlockBytes(i);
    by_key.emplace(b.key, entries.size());
    entries.push_back({std::vector<uint8_t>(p, p + b.size), b});
  }
  std::vector<Added> added;
  std::vector<Conflict> conflicts;
  size_t identical = 0, replaced = 0;
  std::vector<Collision> collisions;
  const platform::PathInfo dst_file = platform::ExaminePath(dst.container.c_str());
  for (const StreamRef& src : srcs) {
    StreamContents c;
    // A source in the held destination container is read through the hold
    // (on Windows no other open could read it meanwhile).
    const bool held = session.reader() != nullptr &&
                      platform::ExaminePath(src.container.c_str()).same_file(dst_file);
    if (held ? !session.Load(src, SoundOptions(/*missing_ok=*/false), &c, &error)
             : !LoadSound(src, /*missing_ok=*/false, &c, io, &error)) {
      Complain(io, error);
      return kExitFailure;
    }
    const std::string source =
        Shown(src.container) + ":" + Printable(std::u16string_view(src.stream));
    for (size_t i = 0; i < c.view.blocks.size(); ++i) {
      const DecodedProgramBlock& b = c.view.blocks[i].decoded;
      const uint8_t* p = c.BlockBytes(i);
      const auto it = by_key.find(b.key);
      if (it == by_key.end()) {
        by_key.emplace(b.key, entries.size());
        entries.push_back({std::vector<uint8_t>(p, p + b.size), b});
        added.push_back({source, i + 1, b});
        continue;
      }
      Entry& held = entries[it->second];
      if (held.decoded.size == b.size && SameStoredBlock(held.bytes.data(), p, b.size)) {
        ++identical;
        continue;
      }
      if (OtherName(held.decoded.name, b.name)) {
        // Not two versions of one entry but two entries a list cannot both hold.
        const bool take_src = o.prefer == "src";
        collisions.push_back({b.key, take_src ? held.decoded.name : b.name,
                              take_src ? "DST" : source + " entry " + std::to_string(i + 1),
                              take_src ? b.name : held.decoded.name,
                              take_src ? source + " entry " + std::to_string(i + 1) : "DST"});
        if (take_src) {
          held = {std::vector<uint8_t>(p, p + b.size), b};
          ++replaced;
        }
        continue;
      }
      conflicts.push_back({source, i + 1, held.decoded, b});
      if (o.prefer == "src") {
        held = {std::vector<uint8_t>(p, p + b.size), b};
        ++replaced;
      }
    }
  }
  CVarBlockList list;
  for (Entry& e : entries) {
    e.bytes.resize(e.bytes.size() + kSpareBytes, 0);
    if (list.AddBlockCopy(e.bytes.data()) == 0) {
      Complain(io, "out of memory while building the list; nothing was written");
      return kExitFailure;
    }
  }
  const bool changes = !added.empty() || replaced != 0;
  const size_t payload_size = PayloadSizeOf(list);
  const bool fits = !changes || CheckFitsFor(&session, o.dry_run, dst.container, look, dst.stream,
                                             payload_size, &error);
  if (!fits) {
    Complain(io, error);
    return kExitFailure;
  }
  if (!ReportCollisions(collisions, o.rules.allow_collisions, io)) return kExitFindings;
  uint32_t payload_bytes = 0;
  const bool write = changes && !o.dry_run;
  if (write && !session.Store(dst.stream, list, &payload_bytes, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  const char* kept = o.prefer == "src" ? "src" : "dst";
  if (o.json) {
    Json a = Json::array(), k = Json::array();
    for (const Added& x : added) {
      a.push_back({{"source", x.source},
                   {"entry", x.entry},
                   {"name", JsonText(x.decoded.name)},
                   {"key", Hex64(x.decoded.key)}});
    }
    for (const Conflict& x : conflicts) {
      Json fields = Json::array();
      for (const FieldChange& c : Changes(x.dst, x.src)) {
        fields.push_back({{"field", c.field}, {"dst", c.before_json}, {"src", c.after_json}});
      }
      k.push_back({{"source", x.source},
                   {"entry", x.entry},
                   {"key", Hex64(x.dst.key)},
                   {"kept", kept},
                   {"fields", fields},
                   {"dst", BlockJson(x.dst)},
                   {"src", BlockJson(x.src)}});
    }
    PrintJson(io.out, Json{{"target", JsonText(dst.container + u":" + dst.stream)},
                           {"added", a},
                           {"conflicts", k},
                           {"identical", identical},
                           {"written", write}});
  } else {
    if (!io.quiet) {
      for (const Added& x : added) {
        io.out << "+ " << Q(x.decoded.name) << " key " << Hex64(x.decoded.key) << " from "
               << x.source << " entry " << x.entry << "\n";
      }
    }
    for (const Conflict& x : conflicts) {
      io.out << "! conflict " << Q(x.dst.name) << " key " << Hex64(x.dst.key) << " with "
             << x.source << " entry " << x.entry << ": kept " << kept << "'s\n";
      for (const FieldChange& c : Changes(x.dst, x.src)) {
        io.out << "    " << c.field;
        if (!c.before.empty() || !c.after.empty()) {
          io.out << ": dst " << c.before << ", src " << c.after;
        }
        io.out << "\n";
      }
    }
    io.out << (o.dry_run ? "dry run: " : "") << Target(dst) << ": " << added.size() << " added, "
           << conflicts.size() << " conflicts, " << identical << " identical; ";
    if (write) {
      io.out << "wrote " << list.GetCount() << " blocks, " << payload_bytes << "-byte payload\n";
    } else {
      io.out << (changes ? "would hold " + std::to_string(list.GetCount()) + " blocks"
                         : "unchanged")
             << "; nothing was written\n";
    }
  }
  return conflicts.empty() && collisions.empty() ? kExitOk : kExitFindings;
}

}  // namespace tl::ctl
