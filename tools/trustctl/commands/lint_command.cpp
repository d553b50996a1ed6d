// trustctl lint: the list's meaning, beyond verify's structure. Each finding is
// one line that starts with its kind:
//   conflict       an entry of ProgramList and one of BlockList with one key or
//                  one fingerprint (a program both allowed and blocked)
//   name-mismatch  a fingerprint-only entry (only PB_FINGERPRINT, and not a
//                  program name ending in "@*") not named "%08x%08x.*" of it
//   key-mismatch   a key that is not its name's key
//   collision      two entries of different names with one key
//   stale          (--against DIR) an entry named as a file under DIR whose
//                  fingerprint differs from that file's
//   unread-stream  a stream the product does not read (only ProgramList and
//                  BlockList, exactly so named, decide anything)
#include <CLI/CLI.hpp>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

#include "blocklist/program_block.h"
#include "commands/cli_options.h"
#include "commands/command.h"
#include "common/u16.h"
#include "entry/hash_list.h"
#include "io/format.h"
#include "io/input_file.h"
#include "io/json_out.h"
#include "io/tree_walk.h"
#include "platform/input_backend.h"
#include "trustctl.h"
#include "view/container_view.h"

namespace tl::ctl {
namespace {

struct LintOptions {
  bool json = false;
  std::string against;
  std::string container;
};

namespace fs = std::filesystem;

struct Finding {
  std::string kind;
  std::u16string stream;
  size_t entry;  // 1-based
  std::u16string name;
  std::string text;
};

// An entry of a hash list: only a fingerprint, and not a program's name
// (those end in "@*"; AddProgram may record a program by its fingerprint alone).

std::u16string HashName(uint64_t fp) {
  char16_t name[kHashNameLen + 1];
  U16FormatHashName(name, static_cast<uint32_t>(fp >> 32), static_cast<uint32_t>(fp));
  return name;
}

std::string Where(const std::u16string& stream, size_t entry, const std::u16string& name) {
  if (entry == 0) return Printable(std::u16string_view(stream));  // the stream as a whole
  return Printable(std::u16string_view(stream)) + " entry " + std::to_string(entry) + " \"" +
         Printable(std::u16string_view(name)) + "\"";
}

void CheckStream(const NamedStream& s, std::vector<Finding>* out) {
  std::unordered_map<uint64_t, size_t> first_with_key;
  const auto& blocks = s.contents.view.blocks;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const DecodedProgramBlock& b = blocks[i].decoded;
    const uint64_t name_key = ComputeNameKey(b.name.c_str());
    if (b.key != name_key) {
      out->push_back({"key-mismatch", s.name, i + 1, b.name,
                      "key " + Hex64(b.key) + " is not the name's key " + Hex64(name_key)});
    }
    // Named like a hash list entry, but not after its own fingerprint.
    uint64_t named_for = 0;
    if (b.flags == PB_FINGERPRINT && ParseHashName(b.name, &named_for) &&
        b.name != HashName(b.fingerprint)) {
      out->push_back({"name-mismatch", s.name, i + 1, b.name,
                      "a fingerprint-only entry of " + Hex64(b.fingerprint) +
                          " should be named \"" + U16ToUtf8(HashName(b.fingerprint)) + "\""});
    }
    const auto [it, first] = first_with_key.emplace(b.key, i);
    if (!first && !U16EqualFoldAscii(blocks[it->second].decoded.name.c_str(), b.name.c_str())) {
      out->push_back({"collision", s.name, i + 1, b.name,
                      "same key " + Hex64(b.key) + " as entry " + std::to_string(it->second + 1) +
                          " \"" + Printable(std::u16string_view(blocks[it->second].decoded.name)) +
                          "\" (a list holds one of them)"});
    }
  }
}

const NamedStream* Find(const std::vector<NamedStream>& streams, const char16_t* name) {
  for (const NamedStream& s : streams) {
    if (U16EqualFoldAscii(s.name.c_str(), name)) return &s;
  }
  return nullptr;
}

void CheckConflicts(const std::vector<NamedStream>& streams, std::vector<Finding>* out) {
  const NamedStream* allow = Find(streams, kProgramListStream);
  const NamedStream* block = Find(streams, kBlockListStream);
  if (allow == nullptr || block == nullptr) return;
  std::unordered_map<uint64_t, size_t> keys, fps;
  const auto& a = allow->contents.view.blocks;
  for (size_t i = 0; i < a.size(); ++i) {
    keys.emplace(a[i].decoded.key, i);
    if ((a[i].decoded.flags & PB_FINGERPRINT) != 0) fps.emplace(a[i].decoded.fingerprint, i);
  }
  const auto& b = block->contents.view.blocks;
  for (size_t j = 0; j < b.size(); ++j) {
    const DecodedProgramBlock& d = b[j].decoded;
    std::string why;
    size_t i = 0;
    if (const auto it = keys.find(d.key); it != keys.end()) {
      why = "same key " + Hex64(d.key);
      i = it->second;
    } else if (const auto f = fps.find(d.fingerprint);
               (d.flags & PB_FINGERPRINT) != 0 && f != fps.end()) {
      why = "same fingerprint " + Hex64(d.fingerprint);
      i = f->second;
    } else {
      continue;
    }
    out->push_back({"conflict", block->name, j + 1, d.name,
                    why + " as " + Where(allow->name, i + 1, a[i].decoded.name) +
                        ": the program is both allowed and blocked"});
  }
}

// Fingerprints only the files whose program name some entry carries.
bool CheckStale(const std::vector<NamedStream>& streams, const std::string& dir, Io& io,
                std::vector<Finding>* out) {
  std::set<uint64_t> wanted;
  for (const NamedStream& s : streams) {
    for (const PayloadBlock& b : s.contents.view.blocks) {
      if ((b.decoded.flags & PB_FINGERPRINT) != 0) wanted.insert(b.decoded.key);
    }
  }
  struct Seen {
    std::u16string name;  // the file's program name
    uint64_t fingerprint;
    std::string path;
  };
  std::map<uint64_t, std::vector<Seen>> files;  // by the name's key
  std::error_code ec;
  const fs::path root = input_backend::NativePath(Utf8ToU16(dir));
  if (!fs::is_directory(root, ec)) {
    Complain(io, PrintablePath(Utf8ToU16(dir)) + ": " +
                     (ec ? ec.message() : std::string("not a directory")));
    return false;
  }
  bool ok = true;
  WalkFiles(
      root,
      [&](const fs::path& file) {
        const std::u16string path = input_backend::PathText(file);
        const std::u16string name = ProgramNameOfPath(path);
        const uint64_t key = ComputeNameKey(name.c_str());
        if (wanted.count(key) == 0) return;
        InputFile in;
        std::string error;
        uint64_t fp = 0, full = 0;
        if (!in.Open(U16ToUtf8(path), "file", &error) ||
            !SequentialFingerprint(in, &fp, &full, &error)) {
          Complain(io, error);
          ok = false;
          return;
        }
        files[key].push_back({name, fp, PrintablePath(path)});
      },
      [&](const fs::path& entry, const std::error_code& why) {
        Complain(io, PrintablePath(input_backend::PathText(entry)) +
                         ": cannot be read: " + why.message());
        ok = false;
      });
  for (const NamedStream& s : streams) {
    const auto& blocks = s.contents.view.blocks;
    for (size_t i = 0; i < blocks.size(); ++i) {
      const DecodedProgramBlock& b = blocks[i].decoded;
      const auto f = files.find(b.key);
      if ((b.flags & PB_FINGERPRINT) == 0 || f == files.end()) continue;
      // Files of this very name (a key alone may be shared by other names).
      const Seen* differing = nullptr;
      bool same = false;
      for (const Seen& seen : f->second) {
        if (!U16EqualFoldAscii(seen.name.c_str(), b.name.c_str())) continue;
        same = same || seen.fingerprint == b.fingerprint;
        if (differing == nullptr && seen.fingerprint != b.fingerprint) differing = &seen;
      }
      if (same || differing == nullptr) continue;
      out->push_back({"stale", s.name, i + 1, b.name,
                      "fingerprint " + Hex64(b.fingerprint) + ", but " + differing->path + " has " +
                          Hex64(differing->fingerprint)});
    }
  }
  return ok;
}

int RunLint(const LintOptions& o, Io& io) {
  StreamRef ref;
  std::vector<NamedStream> streams;
  std::string error;
  if (!ParseStreamRef(o.container, &ref, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  if (!LoadStreams(ref, &streams, io, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  std::vector<Finding> findings;
  for (const NamedStream& s : streams) {
    if (!IsProductStream(s.name)) {
      findings.push_back({"unread-stream", s.name, 0, u"",
                          "the product reads only ProgramList and BlockList; the " +
                              std::to_string(s.contents.view.blocks.size()) +
                              " entries of this stream allow and block nothing"});
    }
    CheckStream(s, &findings);
  }
  CheckConflicts(streams, &findings);
  const bool read_all = o.against.empty() || CheckStale(streams, o.against, io, &findings);
  if (o.json) {
    Json list = Json::array();
    for (const Finding& f : findings) {
      list.push_back({{"kind", f.kind},
                      {"stream", JsonText(f.stream)},
                      {"entry", f.entry},
                      {"name", JsonText(f.name)},
                      {"text", f.text}});
    }
    PrintJson(io.out, Json{{"container", JsonText(ref.container)}, {"findings", list}});
  } else {
    for (const Finding& f : findings) {
      io.out << f.kind << " " << Where(f.stream, f.entry, f.name) << ": " << f.text << "\n";
    }
    // "clean" only when everything asked for was read.
    if (findings.empty() && read_all) io.out << Shown(ref.container) << ": clean\n";
  }
  if (!read_all) return kExitFailure;
  return findings.empty() ? kExitOk : kExitFindings;
}

}  // namespace

Runner DeclareLint(CLI::App& app) {
  auto o = std::make_shared<LintOptions>();
  CLI::App* s = app.add_subcommand(
      "lint",
      "The list's meaning, beyond verify's structure; one line per finding, starting with\n"
      "its kind: conflict (an entry of ProgramList and one of BlockList with one key or\n"
      "fingerprint), name-mismatch (a fingerprint-only entry not named %08x%08x.* of its\n"
      "fingerprint), key-mismatch (a key that is not its name's key), collision (two\n"
      "entries of different names with one key), stale (with --against DIR: an entry named\n"
      "as a file under DIR, base name + \"@*\", whose fingerprint differs from the file's),\n"
      "unread-stream (a stream other than ProgramList and BlockList, which the product\n"
      "never reads; entry 0). Exit 0 clean, 1 findings, 2 errors.");
  s->add_flag("--json", o->json, "one JSON document");
  s->add_option("--against", o->against, "a directory tree to compare fingerprints with")
      ->type_name("DIR");
  Positional(s, "CONTAINER", o->container, "the container (CONTAINER:STREAM: that stream only)");
  return [o](Io& io) { return RunLint(*o, io); };
}

}  // namespace tl::ctl
