// trustctl add: keeps a stream's entries byte for byte and adds programs
// built by the library's own program entry builder (from a filled program
// description record) or fingerprint-only entries; the container is written
// only once all of that worked.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <tuple>

#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "commands/cli_options.h"
#include "commands/command.h"
#include "commands/edit_args.h"
#include "common/le.h"
#include "common/u16.h"
#include "edit/edit_session.h"
#include "edit/write_road.h"
#include "entry/hash_list.h"
#include "entry/program_builder.h"
#include "fingerprint/link_time_stamp.h"
#include "io/file_args.h"
#include "io/format.h"
#include "io/hash_list_input.h"
#include "io/input_file.h"
#include "platform/file.h"
#include "trustctl.h"

namespace tl::ctl {
namespace {

// add's options in command-line order: each --path or --hash starts a program
// and the attributes after it belong to it.
struct AddOptions {
  std::string target;
  std::vector<std::pair<std::string, std::vector<std::string>>> ordered;
  std::vector<std::string> hash_of;  // --hash-of FILE...: each file's fingerprint
  bool recursive = false;            // -r: --hash-of walks directories
  std::vector<std::string> hashes;   // --hashes HASHLIST: every usable line
  WriteRules rules;
};

// One program as given on the command line.
struct ProgramSpec {
  std::string from;      // where it was asked for, when not "--path N" / "--hash N"
  bool by_hash = false;  // --hash SIZE CRC: a fingerprint-only entry
  uint32_t hash_size = 0, hash_crc = 0;
  std::u16string path;
  std::u16string tokens, text1, text2, text3;
  bool tokens_given = false, text1_given = false, text2_given = false, text3_given = false;
  uint32_t value = 0;
  uint32_t pair_first = 0, pair_second = 0;
  bool has_value = false, has_pair = false;
  std::u16string timestamp_file, fingerprint_file;
};

// Tokens as the builder splits them.
size_t TokenCount(const std::u16string& list) {
  return SplitProgramTokens(list.data(), list.size(), nullptr, 0);
}

// Whether the token list holds an empty token (";", "a;;b", "a;"): the builder
// drops those, and a list of nothing but separators would set the tokens flag
// with no token at all.
bool HasEmptyToken(const std::u16string& list) {
  if (list.empty() || list.front() == u';' || list.back() == u';') return true;
  return list.find(u";;") != std::u16string::npos;
}

// Refuses what the builder would store otherwise than asked.
bool CheckHonest(const ProgramSpec& p, std::string* error) {
  if (p.by_hash) return true;
  if (p.tokens_given && HasEmptyToken(p.tokens)) {
    *error = "--tokens \"" + Printable(std::u16string_view(p.tokens)) +
             "\" holds an empty token, which an entry cannot keep";
    return false;
  }
  for (const auto& [given, text, name] : {std::tuple{p.text1_given, &p.text1, "--text1"},
                                          std::tuple{p.text2_given, &p.text2, "--text2"},
                                          std::tuple{p.text3_given, &p.text3, "--text3"}}) {
    if (given && text->empty()) {
      *error = std::string(name) + " is empty; an entry stores no empty text";
      return false;
    }
  }
  if (p.path.empty()) {
    *error = "--path is empty: the entry would have an empty name";
    return false;
  }
  if (p.path.back() == u'\\') {
    *error = "--path ends in a backslash: the entry would be named \"@*\"";
    return false;
  }
  if (TokenCount(p.tokens) > kPdMaxTokens) {
    *error = "--tokens holds " + std::to_string(TokenCount(p.tokens)) + " tokens; an entry keeps " +
             std::to_string(kPdMaxTokens) + " at most";
    return false;
  }
  if (p.has_value && p.has_pair) {
    *error = "--value and --pair share one field; an entry keeps only the pair's first value";
    return false;
  }
  return true;
}

bool ParsePrograms(const AddOptions& o, std::vector<ProgramSpec>* out, std::string* error) {
  for (const auto& [name, values] : o.ordered) {
    const std::string& value = values.front();
    if (name == "--path" || name == "--hash") {
      out->push_back(ProgramSpec());
      if (name == "--path") {
        out->back().path = Utf8ToU16(value);
      } else {
        out->back().by_hash = true;
        if (!ParseHashPair(values, &out->back().hash_size, &out->back().hash_crc, error)) {
          return false;
        }
      }
      continue;
    }
    if (out->empty() || out->back().by_hash) {
      *error = name + " belongs to a --path and comes before one";
      return false;
    }
    ProgramSpec& p = out->back();
    const std::u16string v = Utf8ToU16(value);
    if (name == "--tokens") {
      p.tokens = v;
      p.tokens_given = true;
    } else if (name == "--text1") {
      p.text1 = v;
      p.text1_given = true;
    } else if (name == "--text2") {
      p.text2 = v;
      p.text2_given = true;
    } else if (name == "--text3") {
      p.text3 = v;
      p.text3_given = true;
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
      p.has_value = true;
    } else if (name == "--pair") {
      const size_t comma = value.find(',');
      if (comma == std::string::npos || !ParseU32(value.substr(0, comma), &p.pair_first) ||
          !ParseU32(value.substr(comma + 1), &p.pair_second) || p.pair_first == 0) {
        *error = "--pair takes N,M with N from 1 to 0xffffffff (N 0 means no pair)";
        return false;
      }
      p.has_pair = true;
    }
  }
  if (out->empty() && o.hash_of.empty() && o.hashes.empty()) {
    *error = "add needs at least one --path, --hash, --hash-of or --hashes";
    return false;
  }
  for (const ProgramSpec& p : *out) {
    if (!CheckHonest(p, error)) return false;
  }
  return true;
}

// Writes `s` into the record field at `offset` of `units` units, terminated.
bool PutString(std::vector<uint8_t>& record, size_t offset, size_t units, const std::u16string& s,
               const char* what, std::string* error) {
  if (s.find(u'\0') != std::u16string::npos) {
    *error = std::string(what) + " holds a NUL character, where the stored text would end";
    return false;
  }
  if (s.size() + 1 > units) {
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
bool CheckFiles(const ProgramSpec& p, std::string* error) {
  for (const std::u16string* f : {&p.timestamp_file, &p.fingerprint_file}) {
    if (!f->empty() && !platform::OpenFileForReading(f->c_str())) {
      *error = Shown(*f) + ": cannot open the file for reading: " + ReadFailureReason(*f);
      return false;
    }
  }
  if (!p.timestamp_file.empty() && ReadLinkTimeStamp(p.timestamp_file.c_str(), nullptr) == 0) {
    *error = Shown(p.timestamp_file) +
             ": not an executable with a PE header, so it has no link time stamp; nothing was "
             "written";
    return false;
  }
  return true;
}

// add's part of the write road: the stream's entries kept byte for byte, each
// program built by the library's builder and added (or replacing the entry of
// its key), an entry already stored as it would be built left where it is.
class AddEdit final : public ListEdit {
 public:
  // `records` are the programs' description records; the builder reads them
  // as a caller of the library hands them over.
  AddEdit(const std::vector<ProgramSpec>& programs, std::vector<std::vector<uint8_t>>& records)
      : programs_(programs), records_(records) {}

  bool ReadsStored(LoadOptions* options) const override {
    ReadForEdit(options, /*missing_ok=*/true);
    return true;
  }

  int Build(WriteRoad&, const StreamContents& stored, BuiltList* out, Io& io) override {
    std::string error;
    if (!KeepEntries(stored, list_, &error)) {
      Complain(io, error);
      return kExitFailure;
    }
    kept_ = list_.GetCount();
    CollisionWatch watch;
    for (size_t i = 0; i < stored.view.blocks.size(); ++i) {
      const DecodedProgramBlock& b = stored.view.blocks[i].decoded;
      watch.Enter(b.key, b.name, "entry " + std::to_string(i + 1) + " of the stream");
    }
    for (size_t i = 0; i < programs_.size(); ++i) {
      const int ended = AddOne(i, watch, io);
      if (ended != kBuilt) return ended;
    }
    out->list = &list_;
    out->entries = list_.GetCount();
    out->collisions = watch.found();
    collided_ = !out->collisions.empty();
    return kBuilt;
  }

  int Report(const RoadResult& r, Io& io) override {
    const int done = collided_ ? kExitFindings : kExitOk;
    if (r.end == RoadEnd::kCollisionsHeld) return done;
    if (!io.quiet) {
      for (const auto& line : report_) io.out << line << "\n";
    }
    if (r.end == RoadEnd::kUnchanged) {
      io.out << "unchanged: " << r.target << " holds these " << list_.GetCount()
             << " blocks; nothing was written\n";
    } else {
      io.out << "wrote " << r.target << ": " << list_.GetCount() << " blocks (" << kept_
             << " kept), " << r.payload_bytes << "-byte payload\n";
    }
    return done;
  }

 private:
  // Builds program i and puts it into the list; kBuilt, or the exit code.
  int AddOne(size_t i, CollisionWatch& watch, Io& io) {
    const ProgramSpec& p = programs_[i];
    auto work = std::make_unique<uint8_t[]>(kProgramWorkBytes);
    uint32_t block_size = 0;
    std::string error;
    if (p.by_hash) {
      block_size = BuildHashBlock(work.get(), p.hash_size, p.hash_crc);
    } else {
      if (!CheckFiles(p, &error)) {
        Complain(io, error);
        return kExitFailure;
      }
      if (BuildProgramBlock(records_[i].data(), work.get(), &block_size) == 0) {
        Complain(io, "\"" + Printable(std::u16string_view(p.path)) +
                         "\": a program needs at least one attribute besides its path");
        return kExitUsage;
      }
    }
    DecodedProgramBlock b;
    DecodeProgramBlock(work.get(), block_size, &b);
    // A key of 0 for a name that is not empty means the key could not be
    // computed (no memory): the entry would be stored under a wrong key.
    if (b.key == 0 && !b.name.empty()) {
      Complain(io, "out of memory while building the list; nothing was written");
      return kExitFailure;
    }
    watch.Enter(b.key, b.name,
                !p.from.empty() ? p.from
                : p.by_hash     ? "--hash " + std::to_string(i + 1)
                                : "--path " + std::to_string(i + 1));
    // An entry the list holds already as it would be built stays where it is,
    // so that adding what is there changes nothing (a replacement would move
    // it to the end of the list).
    const uint8_t* held = list_.FindBlock(b.key);
    if (held != nullptr && LoadU32(held, kBlockSizeOffset) == block_size &&
        SameOnceSerialized(held, work.get(), block_size)) {
      report_.push_back("already present \"" + Printable(std::u16string_view(b.name)) + "\" key " +
                        Hex64(b.key));
      return kBuilt;
    }
    const bool replaces = held != nullptr;
    if (list_.AddBlockCopy(work.get()) == 0) {
      Complain(io, "out of memory while building the list; nothing was written");
      return kExitFailure;
    }
    report_.push_back((replaces ? "replaced \"" : "added \"") +
                      Printable(std::u16string_view(b.name)) + "\" key " + Hex64(b.key) +
                      " flags " + Hex32(b.flags));
    return kBuilt;
  }

  const std::vector<ProgramSpec>& programs_;
  std::vector<std::vector<uint8_t>>& records_;
  CVarBlockList list_;
  uint32_t kept_ = 0;
  bool collided_ = false;
  std::vector<std::string> report_;
};

ProgramSpec HashSpec(uint64_t fingerprint, std::string from) {
  ProgramSpec p;
  p.from = std::move(from);
  p.by_hash = true;
  p.hash_size = static_cast<uint32_t>(fingerprint >> 32);
  p.hash_crc = static_cast<uint32_t>(fingerprint);
  return p;
}

// Takes every usable line of a hash list, as import would, and counts the rest.
class UsedLines final : public HashListSink {
 public:
  UsedLines(std::string shown, std::vector<ProgramSpec>* out)
      : shown_(std::move(shown)), out_(out) {}
  void OnLine(const HashListLine& line) override {
    ++lines;
    if (line.status != HashLineStatus::kUsed || line.nul) return;
    ++used;
    out_->push_back(HashSpec((uint64_t{line.file_size} << 32) | line.crc,
                             shown_ + ":" + std::to_string(line.number)));
  }
  size_t lines = 0, used = 0;

 private:
  std::string shown_;
  std::vector<ProgramSpec>* out_;
};

// The fingerprint-only entries of --hash-of (each file's fingerprint, as hash
// computes it) and --hashes (each usable line). A file or hash list that cannot
// be read ends the command: nothing is written.
bool CollectHashes(const AddOptions& o, std::vector<ProgramSpec>* out, Io& io) {
  std::string error;
  for (const FileArg& f : CollectFiles(o.hash_of, o.recursive)) {
    InputFile in;
    uint64_t fp = 0, full = 0;
    if (!f.error.empty() || !in.Open(f.arg, "file", &error) ||
        !SequentialFingerprint(in, &fp, &full, &error)) {
      Complain(io, (f.error.empty() ? error : f.error) + "; nothing was written");
      return false;
    }
    out->push_back(HashSpec(fp, "--hash-of " + in.shown()));
  }
  for (const std::string& list : o.hashes) {
    UsedLines sink(Shown(Utf8ToU16(list)), out);
    TextDecoder decoder;
    uint64_t bytes = 0;
    if (!FeedHashList(list, sink, io, &bytes, &decoder, &error)) {
      Complain(io, error + "; nothing was written");
      return false;
    }
    if (sink.used == 0) {
      Complain(io, Shown(Utf8ToU16(list)) +
                       ": no line is a hash list line (\"size crc\", hexadecimal); nothing was "
                       "written");
      return false;
    }
    if (sink.used != sink.lines && !io.quiet) {
      io.err << Shown(Utf8ToU16(list)) << ": " << sink.lines << " lines, " << sink.used
             << " used (import names the others)\n";
    }
  }
  return true;
}

int RunAdd(const AddOptions& o, Io& io) {
  std::string error;
  std::vector<ProgramSpec> programs;
  if (!ParsePrograms(o, &programs, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  WriteOrder order;
  if (!ParseTarget(o.target, o.rules, &order, io)) return kExitUsage;
  // Everything the command line can refuse is refused before a file is read.
  std::vector<std::vector<uint8_t>> records(programs.size());
  for (size_t i = 0; i < programs.size(); ++i) {
    if (!programs[i].by_hash && !FillRecord(programs[i], &records[i], &error)) {
      Complain(io, error);
      return kExitUsage;
    }
  }
  // Read before the container is held (a hash list may be a slow pipe).
  if (!CollectHashes(o, &programs, io)) return kExitFailure;
  records.resize(programs.size());
  AddEdit edit(programs, records);
  return WriteRoad(order, io).Drive(edit);
}

// The attribute options of add, in the order they are declared; --path and
// --hash start a program.
constexpr const char* kAddOrdered[] = {
    "--path", "--hash",           "--tokens",           "--text1", "--text2", "--text3", "--value",
    "--pair", "--timestamp-file", "--fingerprint-file", "--file",
};

// add's command line: the options, and the attribute values CLI11 checks and
// counts (their order is read back from the parse).
struct AddLine {
  AddOptions options;
  std::vector<std::string> values[std::size(kAddOrdered)];
};

// Reads the attribute options back in command-line order into o->ordered.
// False after saying why (an incomplete --hash pair).
bool ReadOrdered(CLI::App* s, AddOptions* o, Io& io) {
  o->target = s->get_option("CONTAINER")->as<std::string>();
  std::vector<std::pair<const CLI::Option*, size_t>> used;  // results taken per option
  for (const CLI::Option* opt : s->parse_order()) {
    if (std::find(std::begin(kAddOrdered), std::end(kAddOrdered), opt->get_name()) ==
        std::end(kAddOrdered)) {
      continue;  // CONTAINER and the flags
    }
    size_t& at = [&]() -> size_t& {
      for (auto& u : used) {
        if (u.first == opt) return u.second;
      }
      used.emplace_back(opt, 0);
      return used.back().second;
    }();
    const auto& results = opt->results();
    const size_t n = opt->get_name() == "--hash" ? 2 : 1;
    if (at + n > results.size()) {
      if (at < results.size()) {
        Complain(io, opt->get_name() + " takes SIZE CRC, two numbers; the last one has one");
        return false;
      }
      continue;
    }
    o->ordered.emplace_back(opt->get_name(),
                            std::vector<std::string>(results.begin() + static_cast<long>(at),
                                                     results.begin() + static_cast<long>(at + n)));
    at += n;
  }
  return true;
}

}  // namespace

Runner DeclareAdd(CLI::App& app) {
  auto line = std::make_shared<AddLine>();
  CLI::App* s = app.add_subcommand(
      "add",
      "Keeps the stream's entries and adds (or replaces, by name) one program per --path\n"
      "or --hash. The name is the text after the last backslash of PATH followed by \"@*\",\n"
      "or PATH itself when it has no backslash. The attributes after a --path belong to\n"
      "it. A program with no attribute is refused, as the library refuses it; so is\n"
      "anything that would be stored otherwise than asked (exit 3, nothing written):\n"
      "an incomplete --hash pair, an empty token or text, more than four tokens,\n"
      "--value with --pair, a text longer than its field (--text1, --text2: 63\n"
      "characters; --text3: 599; --path, --tokens: 259). A --timestamp-file that is\n"
      "no executable, or a file that cannot be read, is exit 2. An entry that would\n"
      "replace one of another name (same key): exit 1, nothing written unless\n"
      "--allow-collisions.");
  Positional(s, "CONTAINER", line->options.target, "CONTAINER or CONTAINER:STREAM");
  s->add_option("--path", line->values[0], "starts a program: its path or bare file name")
      ->type_name("PATH");
  s->add_option("--hash", line->values[1],
                "adds a fingerprint-only entry, as a hash list line does")
      ->expected(2)
      ->type_name("SIZE CRC");
  s->add_option("--tokens", line->values[2],
                "one to four non-empty tokens separated by ';' (259 characters in all)")
      ->type_name("\"a;b\"");
  s->add_option("--text1", line->values[3], "the first text, 1 to 63 characters")
      ->type_name("TEXT");
  s->add_option("--text2", line->values[4], "the second text, 1 to 63 characters")
      ->type_name("TEXT");
  s->add_option("--text3", line->values[5], "the third text, 1 to 599 characters")
      ->type_name("TEXT");
  s->add_option("--value", line->values[6], "a single value (not 0)")->type_name("N");
  s->add_option("--pair", line->values[7], "a value pair (N not 0); not together with --value")
      ->type_name("N,M");
  s->add_option("--timestamp-file", line->values[8], "the link time stamp of executable F")
      ->type_name("F");
  s->add_option("--fingerprint-file", line->values[9], "the size/CRC fingerprint of file F")
      ->type_name("F");
  s->add_option("--file", line->values[10], "both of the above from F")->type_name("F");
  s->add_option("--hash-of", line->options.hash_of,
                "adds the fingerprint of each FILE as a fingerprint-only entry, as hash computes "
                "it ('-' is standard input; directories with -r)")
      ->type_name("FILE...")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  s->add_flag("-r,--recursive", line->options.recursive, "--hash-of walks directories");
  s->add_option("--hashes", line->options.hashes,
                "adds an entry for every usable line of HASHLIST, keeping the stream's other "
                "entries (import replaces the stream)")
      ->type_name("HASHLIST")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  DeclareWriteRules(s, line->options.rules, false, true);
  for (const char* name : kAddOrdered) {
    s->get_option(name)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  }
  return [line, s](Io& io) {
    return ReadOrdered(s, &line->options, io) ? RunAdd(line->options, io) : kExitUsage;
  };
}

}  // namespace tl::ctl
