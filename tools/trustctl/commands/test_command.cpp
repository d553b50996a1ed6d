// trustctl test: is this file allowed, blocked or not listed, and why? Each
// file is fingerprinted as the library does it and named as AddProgram names
// it; an entry with a fingerprint matches only by it, one without matches by
// name. A match on BlockList blocks the file whatever else matches; a match on
// ProgramList (or on the stream named) allows it. The exit code is the answer
// a script needs: 0 only when every file is allowed.
#include <CLI/CLI.hpp>
#include <memory>

#include "blocklist/program_block.h"
#include "commands/cli_options.h"
#include "commands/command.h"
#include "common/u16.h"
#include "io/format.h"
#include "io/input_file.h"
#include "io/json_out.h"
#include "trustctl.h"
#include "view/container_view.h"

namespace tl::ctl {
namespace {

struct TestOptions {
  bool json = false;
  std::string target;
  std::vector<std::string> files;
};

struct Hit {
  std::u16string stream;
  size_t entry;      // 1-based, as dump numbers blocks
  std::string text;  // "fingerprint" / "name", or why it is a near miss
};

enum class Verdict { kAllowed, kBlocked, kNotListed };

const char* VerdictText(Verdict v) {
  switch (v) {
    case Verdict::kAllowed:
      return "allowed";
    case Verdict::kBlocked:
      return "blocked";
    case Verdict::kNotListed:
      break;
  }
  return "not listed";
}

bool IsBlockList(const std::u16string& stream) {
  return U16EqualFoldAscii(stream.c_str(), kBlockListStream);
}

struct FileResult {
  std::string path;  // as shown (bytes that are not UTF-8 escaped)
  Verdict verdict = Verdict::kNotListed;
  std::u16string name;
  uint64_t fingerprint = 0;
  std::vector<Hit> matches, near;
};

std::string SizeCrc(uint64_t fp) { return "size crc " + HashLine(fp); }

// `named_allow`: a match in a stream other than BlockList allows (that
// stream was named on the command line).
void Match(const std::vector<NamedStream>& streams, bool named_allow, FileResult* f) {
  const uint64_t name_key = ComputeNameKey(f->name.c_str());
  const uint32_t size = static_cast<uint32_t>(f->fingerprint >> 32);
  for (const NamedStream& s : streams) {
    const auto& blocks = s.contents.view.blocks;
    for (size_t i = 0; i < blocks.size(); ++i) {
      const DecodedProgramBlock& b = blocks[i].decoded;
      const bool has_fp = (b.flags & PB_FINGERPRINT) != 0;
      if (has_fp && b.fingerprint == f->fingerprint) {
        f->matches.push_back({s.name, i + 1, "fingerprint"});
      } else if (!has_fp && name_key != 0 && b.key == name_key) {
        f->matches.push_back({s.name, i + 1, "name"});
      } else if (has_fp && name_key != 0 && b.key == name_key) {
        const bool size_differs = (b.fingerprint >> 32) != size;
        const bool crc_differs =
            static_cast<uint32_t>(b.fingerprint) != static_cast<uint32_t>(f->fingerprint);
        std::string why = "same name, ";
        why += size_differs && crc_differs ? "size and CRC differ"
               : size_differs              ? "size differs"
                                           : "CRC differs";
        f->near.push_back({s.name, i + 1, why + " (entry: " + SizeCrc(b.fingerprint) + ")"});
      } else if (has_fp && (b.fingerprint >> 32) == size) {
        f->near.push_back(
            {s.name, i + 1, "same size, CRC differs (entry: " + SizeCrc(b.fingerprint) + ")"});
      }
    }
  }
  if (!f->matches.empty()) f->near.clear();  // near misses explain a miss only
  bool allowed = false, blocked = false;
  for (const Hit& h : f->matches) {
    if (IsBlockList(h.stream)) {
      blocked = true;
    } else if (U16EqualFoldAscii(h.stream.c_str(), kDefaultStream) || named_allow) {
      allowed = true;
    }
  }
  f->verdict = blocked ? Verdict::kBlocked : allowed ? Verdict::kAllowed : Verdict::kNotListed;
}

int RunTest(const TestOptions& o, Io& io) {
  StreamRef ref;
  std::vector<NamedStream> streams;
  std::string error;
  if (!ParseStreamRef(o.target, &ref, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  // One snapshot for every stream the verdict reads.
  ContainerReader reader;
  if (!OpenReader(ref.container, &reader, io, &error) ||
      !LoadStreamsFrom(reader, ref, &streams, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  // A file on the container's BlockList is blocked whichever stream was named.
  if (ref.explicit_stream && !IsBlockList(ref.stream)) {
    StreamRef block = ref;
    block.stream = kBlockListStream;
    std::vector<NamedStream> blocked;
    if (reader.FindStream(kBlockListStream) >= 0) {
      if (!LoadStreamsFrom(reader, block, &blocked, &error)) {
        Complain(io, error);
        return kExitFailure;
      }
      streams.push_back(std::move(blocked.front()));
    }
  }
  const bool named_allow = ref.explicit_stream && !IsBlockList(ref.stream);
  bool unreadable = false, missed = false, blocked_any = false;
  std::vector<FileResult> results;
  for (const std::string& arg : o.files) {
    FileResult f;
    InputFile in;
    uint64_t full = 0;
    if (!in.Open(arg, "file", &error) ||
        !SequentialFingerprint(in, &f.fingerprint, &full, &error)) {
      Complain(io, error);
      unreadable = true;
      continue;
    }
    const std::string note = LargeFileNote(in.shown(), full);
    if (!note.empty()) Complain(io, note);
    f.path = arg == "-" ? arg : PrintablePath(Utf8ToU16(arg));
    f.name = ProgramNameOfPath(Utf8ToU16(arg));
    Match(streams, named_allow, &f);
    missed = missed || f.verdict == Verdict::kNotListed;
    blocked_any = blocked_any || f.verdict == Verdict::kBlocked;
    results.push_back(std::move(f));
  }
  if (o.json) {
    Json files = Json::array();
    for (const FileResult& f : results) {
      Json j;
      j["path"] = f.path;
      j["name"] = JsonText(f.name);
      j["fingerprint"] = Hex64(f.fingerprint);
      j["verdict"] = VerdictText(f.verdict);
      Json m = Json::array(), n = Json::array();
      for (const Hit& h : f.matches) {
        m.push_back({{"stream", JsonText(h.stream)}, {"entry", h.entry}, {"by", h.text}});
      }
      for (const Hit& h : f.near) {
        n.push_back({{"stream", JsonText(h.stream)}, {"entry", h.entry}, {"why", h.text}});
      }
      j["matches"] = m;
      j["near"] = n;
      files.push_back(j);
    }
    PrintJson(io.out, Json{{"files", files}});
  } else {
    for (const FileResult& f : results) {
      io.out << f.path << ": " << Printable(std::u16string_view(f.name)) << " "
             << Hex64(f.fingerprint) << " (" << SizeCrc(f.fingerprint) << ")\n";
      for (const Hit& h : f.matches) {
        io.out << "  match " << Printable(std::u16string_view(h.stream)) << " entry " << h.entry
               << " by " << h.text << "\n";
      }
      if (f.matches.empty()) io.out << "  no match\n";
      for (const Hit& h : f.near) {
        io.out << "  near " << Printable(std::u16string_view(h.stream)) << " entry " << h.entry
               << ": " << h.text << "\n";
      }
      io.out << "  " << VerdictText(f.verdict) << "\n";
    }
  }
  if (blocked_any) return kExitBlocked;
  if (unreadable) return kExitFailure;
  return missed ? kExitFindings : kExitOk;
}

}  // namespace

Runner DeclareTest(CLI::App& app) {
  auto o = std::make_shared<TestOptions>();
  CLI::App* s = app.add_subcommand(
      "test",
      "Is each FILE allowed, blocked or not listed, and why? Prints the file's\n"
      "fingerprint and its name (base name + \"@*\"), its matches in the named stream,\n"
      "or in every stream (an entry with a fingerprint matches by an equal fingerprint\n"
      "only, one without by name), its near misses when it has no match (an entry of\n"
      "its name with another fingerprint, an entry of its size with another CRC), then\n"
      "its verdict: blocked (a match on BlockList, which is searched whichever stream\n"
      "is named), allowed (a match on ProgramList, or on the stream named), not\n"
      "listed. Entries are numbered from 1 as in dump. Exit 0 only when every file is\n"
      "allowed, 1 when one is not listed, 4 when one is blocked, 2 when a file or the\n"
      "container cannot be read (4 wins over 2, 2 over 1); 3 is a wrong command line.\n"
      "Sizes and CRCs are printed as a hash list line writes them (hexadecimal).");
  s->add_flag("--json", o->json, "one JSON document");
  Positional(s, "CONTAINER", o->target, "CONTAINER or CONTAINER:STREAM");
  s->add_option("FILE", o->files, "the files; '-' is standard input")->required();
  return [o](Io& io) { return RunTest(*o, io); };
}

}  // namespace tl::ctl
