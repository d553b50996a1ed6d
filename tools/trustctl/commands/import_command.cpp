// trustctl import: replaces a stream from a hash list exactly as the library's
// import does (same line reader, same blocks, same replacement by key, same
// payload and creation parameters), and reports what became of every line.
#include <CLI/CLI.hpp>
#include <memory>
#include <sstream>

#include "blocklist/block_header.h"
#include "commands/cli_options.h"
#include "commands/command.h"
#include "common/le.h"
#include "common/u16.h"
#include "edit/capacity.h"
#include "edit/edit_session.h"
#include "edit/write_road.h"
#include "entry/hash_list.h"
#include "entry/payload_builder.h"
#include "io/format.h"
#include "io/hash_list_input.h"
#include "io/input_file.h"
#include "io/progress.h"
#include "io/text_input.h"
#include "platform/path_info.h"
#include "trustctl.h"
#include "view/journal_notes.h"

namespace tl::ctl {
namespace {

struct ImportOptions {
  std::string target;  // CONTAINER[:STREAM]
  std::string stream;  // --stream NAME (the older form)
  bool stream_given = false;
  std::string hash_list;
  bool dry_run = false;
  WriteRules rules;
};

struct LineNote {
  uint32_t number;
  std::string text;
};

// The first line of each name key met so far, with its fingerprint: an open
// addressing table without a node per line, since a big import inserts one
// key per line. Key 0 marks a free slot (the sink never inserts it).
class FirstLines {
 public:
  struct First {
    uint64_t key = 0;
    uint32_t line = 0;
    uint64_t fingerprint = 0;
  };

  void Reserve(size_t keys) {
    if (keys + keys / 3 > slots_.size()) Rehash(keys + keys / 3);
  }

  bool Contains(uint64_t key) { return key != 0 && Find(key)->key == key; }

  // The slot of `key`; `*inserted` tells whether it was free (it then holds
  // `key` and `value`, else what it held).
  First* Insert(uint64_t key, uint32_t line, uint64_t fingerprint, bool* inserted) {
    // At most three quarters full, so that a probe stays short.
    if ((used_ + 1) * 4 > slots_.size() * 3) Rehash(slots_.size() * 2);
    First* slot = Find(key);
    *inserted = slot->key == 0;
    if (*inserted) {
      *slot = First{key, line, fingerprint};
      ++used_;
    }
    return slot;
  }

 private:
  First* Find(uint64_t key) {
    const size_t mask = slots_.size() - 1;
    for (size_t i = (key * 0x9E3779B97F4A7C15ull) >> 20 & mask;; i = (i + 1) & mask) {
      if (slots_[i].key == key || slots_[i].key == 0) return &slots_[i];
    }
  }
  void Rehash(size_t at_least) {
    size_t n = 64;
    while (n < at_least) n *= 2;
    std::vector<First> old(n);
    old.swap(slots_);
    for (const First& f : old) {
      if (f.key != 0) *Find(f.key) = f;
    }
  }

  std::vector<First> slots_ = std::vector<First>(64);
  size_t used_ = 0;
};

// Takes the lines as the import does (each used line's block added to the
// payload with the list's replacement by key), and notes what happened to each.
class ReportingSink final : public HashListSink {
 public:
  explicit ReportingSink(PayloadBuilder& built) : built_(built) {}

  // Sizes the table of first lines and the payload for a hash list of `bytes`
  // bytes at once (a line takes at least four bytes; most take about
  // eighteen), so that a big import neither rehashes the table nor moves the
  // payload over and over. A reservation that fails is no failure: both grow
  // as the lines come.
  void ExpectBytes(uint64_t bytes) {
    first_line_.Reserve(static_cast<size_t>(bytes / 18));
    ReserveForHashList(built_, bytes);
  }

  // Whether some line's block has this name key.
  bool HasKey(uint64_t key) { return first_line_.Contains(key); }

  void OnLine(const HashListLine& line) override {
    ++lines;
    if (line.cut) {
      notes.push_back({line.number, "longer than " + std::to_string(kHashLineMaxChars) +
                                        " characters; the rest of the line was ignored"});
    }
    // The line reader ends a line's text at a NUL byte, so what it would read
    // is not what the line says.
    if (line.nul) {
      ++skipped;
      notes.push_back({line.number, "skipped: holds a NUL byte (not a text line)"});
      return;
    }
    if (line.status != HashLineStatus::kUsed) {
      ++skipped;
      notes.push_back({line.number, std::string("skipped: ") + HashLineStatusText(line.status)});
      return;
    }
    const uint64_t key = LoadU64(line.block, kBlockKeyOffset);
    // The name key is 0 only when its working copy could not be allocated (a
    // hash name is never empty): such a block would be stored under a wrong key.
    if (key == 0) {
      ++dropped;
      notes.push_back({line.number, "no memory for its name key"});
      return;
    }
    if (dropped != 0 || !built_.Add(line.block, line.block_size)) {
      ++dropped;
      notes.push_back({line.number, "no memory for its block"});
      return;
    }
    const uint64_t fp = (uint64_t{line.file_size} << 32) | line.crc;
    bool first = false;
    FirstLines::First* earlier = first_line_.Insert(key, line.number, fp, &first);
    if (first) {
      ++accepted;
      accepted_lines.push_back(line.number);
    } else if (earlier->fingerprint == fp) {
      ++duplicates;
      notes.push_back({line.number, std::string("duplicate of line ") +
                                        std::to_string(earlier->line) + " (" + HashLine(fp) +
                                        "): replaces it and moves to the end"});
    } else {
      // Another pair whose name has the same key: the list keeps one of them.
      ++collisions;
      found.push_back({key, HashNameOf(earlier->fingerprint),
                       "line " + std::to_string(earlier->line), HashNameOf(fp),
                       "line " + std::to_string(line.number)});
      earlier->line = line.number;
      earlier->fingerprint = fp;
    }
  }

  uint32_t lines = 0, accepted = 0, duplicates = 0, collisions = 0, skipped = 0, dropped = 0;
  std::vector<LineNote> notes;
  std::vector<uint32_t> accepted_lines;  // rising
  std::vector<Collision> found;

 private:
  static std::u16string HashNameOf(uint64_t fp) {
    char16_t name[kHashNameLen + 1];
    U16FormatHashName(name, static_cast<uint32_t>(fp >> 32), static_cast<uint32_t>(fp));
    return name;
  }

  PayloadBuilder& built_;
  FirstLines first_line_;
};

// "1-3, 5, 7-9": rising line numbers as ranges, so that a long list stays one line.
std::string Ranges(const std::vector<uint32_t>& numbers) {
  std::string s;
  for (size_t i = 0; i < numbers.size();) {
    size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
    if (!s.empty()) s += ", ";
    s += std::to_string(numbers[i]);
    if (j > i) s += "-" + std::to_string(numbers[j]);
    i = j + 1;
  }
  return s.empty() ? "none" : s;
}

// The capacity a dry run leaves: blocks and slots, and entries that would still
// fit, in the container as the dry run read it (`look`; null: none yet).
void PrintRoomAfter(const ContainerReader* look, const std::u16string& stream, size_t payload_size,
                    Io& io) {
  Capacity c = NewContainerCapacity();
  uint64_t room = uint64_t{c.free} * c.block_size;
  if (look != nullptr && look->header_valid()) {
    c = CapacityOf(*look);
    uint64_t current = 0;
    room = StreamRoom(*look, stream, &current);
  }
  io.out << "capacity now: " << CapacityText(c) << "\n";
  io.out << "after the import, " << EntriesThatFit(room, payload_size)
         << " more 200-byte entries would fit in the stream\n";
}

// The import's part of the write road: the list is read from the hash list
// before the container is held (it may be a slow pipe, and other writers wait
// while it is held), and replaces the whole stream, which it need not read.
class ImportEdit final : public ListEdit {
 public:
  ImportEdit(const ImportOptions& o, const std::u16string& stream) : o_(o), stream_(stream) {}

  // Reads the hash list straight into the payload: from then on at most the
  // payload and one stream read back for the soundness check (and the
  // comparison) are held at once.
  int Read(const std::u16string& container, Io& io) {
    std::string error;
    if (!FeedHashList(o_.hash_list, sink_, io, &bytes_, &decoder_, &error,
                      [this](uint64_t size) { sink_.ExpectBytes(size); })) {
      Complain(io, error + "; nothing was written");
      return kExitFailure;
    }
    blocks_ = built_.count();
    if (sink_.dropped == 0 && !payload_.Take(built_)) {
      Complain(io, CannotBuildText(container));
      return kExitFailure;
    }
    return kBuilt;
  }

  bool ReadsStored(LoadOptions*) const override { return false; }

  int Build(WriteRoad& road, const StreamContents&, BuiltList* out, Io& io) override {
    ComposeReport(io);
    std::vector<uint64_t> older;
    std::string error;
    if (!road.StoredKeys(&older, &error)) {
      Complain(io, error);
      return kExitFailure;
    }
    for (uint64_t key : older) kept_ += sink_.HasKey(key) ? 1 : 0;
    removed_ = older.size() - kept_;
    const std::string shown = Shown(Utf8ToU16(o_.hash_list));
    if (sink_.dropped != 0) {
      Complain(io, "out of memory while building the list; nothing was written");
      return kExitFailure;
    }
    if (sink_.accepted == 0 && bytes_ != 0) {
      io.out << report_.str();
      Complain(io, shown +
                       ": no line is a hash list line (\"size crc\", hexadecimal); nothing "
                       "was written");
      return kExitFailure;
    }
    if (sink_.accepted == 0 && !o_.rules.allow_empty) {
      Complain(io, shown + ": is empty; --allow-empty stores an empty list (nothing was written)");
      return kExitFailure;
    }
    out->payload = payload_.bytes;
    out->payload_size = payload_.size;
    out->entries = blocks_;
    out->collisions = sink_.found;
    return kBuilt;
  }

  int Report(const RoadResult& r, Io& io) override {
    const int done = sink_.found.empty() ? kExitOk : kExitFindings;
    io.out << report_.str();
    if (r.end != RoadEnd::kCollisionsHeld) {
      io.out << r.target << ": " << kept_ << " kept, " << sink_.accepted - kept_ << " added, "
             << removed_ << " removed of the older list\n";
    }
    switch (r.end) {
      case RoadEnd::kWouldWrite:
        io.out << "dry run: " << r.target << " would hold " << blocks_ << " blocks ("
               << r.payload_size << "-byte payload); nothing was written\n";
        PrintRoomAfter(r.look, stream_, r.payload_size, io);
        break;
      case RoadEnd::kUnchanged:
        io.out << "unchanged: " << r.target << " holds these " << blocks_
               << " blocks; nothing was written\n";
        break;
      case RoadEnd::kWritten:
        io.out << "wrote " << r.target << ": " << blocks_ << " blocks, " << r.payload_bytes
               << "-byte payload\n";
        break;
      default:  // collisions held: the lines' report says what was found
        break;
    }
    return done;
  }

 private:
  // The report of the lines, printed once it is known whether the list is
  // written, so that a refused or failed import never reads as a done one.
  void ComposeReport(const Io& io) {
    const std::string shown = Shown(Utf8ToU16(o_.hash_list));
    if (!io.quiet) {
      if (decoder_.encoding() != TextDecoder::Encoding::kUtf8 &&
          decoder_.encoding() != TextDecoder::Encoding::kUnknown) {
        report_ << shown << ": read as " << decoder_.encoding_name() << "\n";
      }
      for (const LineNote& n : sink_.notes)
        report_ << shown << ":" << n.number << ": " << n.text << "\n";
      report_ << shown << ": accepted lines: " << Ranges(sink_.accepted_lines) << "\n";
    }
    report_ << shown << ": " << sink_.lines << " lines: " << sink_.accepted << " accepted, "
            << sink_.duplicates << " duplicate, " << sink_.skipped << " skipped"
            << (sink_.collisions != 0 ? ", " + std::to_string(sink_.collisions) + " collision" : "")
            << "\n";
  }

  const ImportOptions& o_;
  const std::u16string& stream_;
  PayloadBuilder built_;
  ReportingSink sink_{built_};
  TextDecoder decoder_;
  uint64_t bytes_ = 0;
  uint32_t blocks_ = 0;
  size_t kept_ = 0, removed_ = 0;  // entries of the older list, by name key
  ListPayload payload_;
  std::ostringstream report_;
};

int RunImport(const ImportOptions& o, Io& io) {
  std::string error;
  WriteOrder order;
  order.mode = o.dry_run ? WriteMode::kDryRun : WriteMode::kWrite;
  order.rules = o.rules;
  StreamRef& ref = order.ref;
  if (!ParseStreamRef(o.target, &ref, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  if (o.stream_given) {
    const std::u16string named = Utf8ToU16(o.stream);
    if (ref.explicit_stream && ref.stream != named) {
      Complain(io, "the stream is named twice, differently (CONTAINER:STREAM and --stream)");
      return kExitUsage;
    }
    ref.stream = named;
  }
  if (!ValidStreamName(ref.stream, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  if (!CheckNotContainer(o.hash_list, "hash list", ref.container, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  ImportEdit edit(o, ref.stream);
  const int read = edit.Read(ref.container, io);
  return read != kBuilt ? read : WriteRoad(order, io).Drive(edit);
}

}  // namespace

Runner DeclareImport(CLI::App& app) {
  auto o = std::make_shared<ImportOptions>();
  CLI::App* s = app.add_subcommand(
      "import",
      "Replaces a stream with one block per usable hash list line, as the library's\n"
      "import does, and reports accepted, duplicate, colliding and skipped lines (a\n"
      "line holding a NUL byte is skipped). Lines end at LF, CR LF or CR. A missing\n"
      "CONTAINER is created; a list that would not fit fails before anything is\n"
      "written. Refused (exit 2): a hash list with no usable line, an empty one\n"
      "(unless --allow-empty), the container itself as the hash list, an existing\n"
      "empty file as CONTAINER. Two lines whose names share a key: exit 1, nothing\n"
      "written unless --allow-collisions.");
  Positional(s, "CONTAINER", o->target, "CONTAINER or CONTAINER:STREAM");
  s->add_option("HASHLIST", o->hash_list, "the hash list; '-' is standard input")->required();
  s->add_option("--stream", o->stream, "the stream (the older form of CONTAINER:STREAM)");
  s->add_flag("--dry-run", o->dry_run, "report, with the capacity it would leave, without writing");
  DeclareWriteRules(s, o->rules, true, true);
  return [o, s](Io& io) {
    o->stream_given = s->count("--stream") > 0;
    return RunImport(*o, io);
  };
}

}  // namespace tl::ctl
