// What trustctl refuses rather than guesses: an output that would replace an
// input, an empty or unreadable input, two names with one key, an argument
// that could mean two things, a damaged container, an empty file taken for a
// container, and the answer of test.
// Each class is one table; every row names what must hold afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "common/u16.h"
#include "ctl_test_util.h"
#include "minifile/container_reader.h"
#include "minifile/header.h"
#include "trustctl.h"

namespace tl::test {
namespace {

using ctl::kExitBlocked;
using ctl::kExitFailure;
using ctl::kExitFindings;
using ctl::kExitOk;
using ctl::kExitUsage;

// Two hash list lines whose names ("%08x%08x.*") share one name key.
constexpr const char* kFirstOfPair = "773aef21 242883e4";
constexpr const char* kSecondOfPair = "68bea8e6 c0e3f0c5";

// A row: the command (with "{c}" for the container and "{d}/" for the
// folder), its exit code, a text its messages must hold, and whether the
// container must be byte for byte as before.
struct Row {
  const char* name;
  std::vector<std::string> args;
  int rc;
  std::string message;  // in standard error, or output when it is not there
  bool unchanged;
};

std::vector<std::string> Expand(const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (std::string a : args) {
    for (size_t at; (at = a.find("{c}")) != std::string::npos;) a.replace(at, 3, Arg(dir, "c.mnf"));
    for (size_t at; (at = a.find("{d}/")) != std::string::npos;) a.replace(at, 4, Arg(dir, ""));
    out.push_back(a);
  }
  return out;
}

// Runs each row in a folder of its own that holds c.mnf (ProgramList: three
// entries) and whatever `prepare` adds.
void RunRows(const std::vector<Row>& rows, const std::function<void(const TempDir&)>& prepare) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    ASSERT_EQ(Ctl({"import", Arg(dir, "c.mnf"), WriteText(dir, "three", "1 1\n2 2\n3 3\n")}).rc,
              kExitOk);
    if (prepare) prepare(dir);
    const std::vector<uint8_t> before = FileBytes(Arg(dir, "c.mnf"));
    const CtlResult r = Ctl(Expand(dir, row.args));
    EXPECT_EQ(r.rc, row.rc) << r.out << r.err;
    EXPECT_NE((r.err + r.out).find(row.message), std::string::npos) << r.out << r.err;
    if (row.unchanged) {
      EXPECT_EQ(FileBytes(Arg(dir, "c.mnf")), before);
    } else {
      EXPECT_NE(FileBytes(Arg(dir, "c.mnf")), before);
    }
  }
}

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

TEST(CtlRefusal, NoOutputReplacesAnInput) {
  // export -o onto the container itself, under any name, is refused; a named
  // output that fails is left as it was; one that works holds the document.
  const std::vector<Row> rows = {
      {"-o is the container",
       {"export", "-o", "{c}", "{c}"},
       kExitFailure,
       "is the container",
       true},
      {"-o names it another way",
       {"export", "-o", "{d}/./c.mnf", "{c}"},
       kExitFailure,
       "is the container",
       true},
      {"-o is a directory",
       {"export", "-o", "{d}/sub", "{c}"},
       kExitFailure,
       "cannot be written",
       true},
  };
  RunRows(rows, [](const TempDir& dir) { std::filesystem::create_directory(dir.path() / "sub"); });

  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"add", box, "--path", "C:\\a.exe", "--value", "1"}).rc, kExitOk);
  const std::string out = WriteText(dir, "out.txt", "kept\n");
  // A hash list cannot hold a program entry: refused, and out.txt stays.
  const CtlResult refused = Ctl({"export", "--format", "hashlist", "-o", out, box});
  EXPECT_EQ(refused.rc, kExitFailure);
  EXPECT_EQ(Bytes(FileBytes(out)), "kept\n");
  const CtlResult written = Ctl({"export", "-o", out, box});
  ASSERT_EQ(written.rc, kExitOk) << written.err;
  EXPECT_EQ(Bytes(FileBytes(out)), Ctl({"export", box}).out);
  // Nothing but the container, the output and what the test made is left.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) files += e.exists();
  EXPECT_EQ(files, 2u);
}

std::string Utf16(const std::string& ascii, bool little_endian) {
  std::string s = little_endian ? "\xFF\xFE" : "\xFE\xFF";
  for (char c : ascii) {
    s += little_endian ? std::string{c, '\0'} : std::string{'\0', c};
  }
  return s;
}

TEST(CtlRefusal, AnEmptyOrUnreadableInputEmptiesNothing) {
  const std::vector<Row> rows = {
      {"empty hash list", {"import", "{c}", "{d}/empty"}, kExitFailure, "is empty", true},
      {"empty hash list, asked",
       {"import", "{c}", "{d}/empty", "--allow-empty"},
       kExitOk,
       "0 lines",
       false},
      {"junk lines",
       {"import", "{c}", "{d}/junk"},
       kExitFailure,
       "no line is a hash list line",
       true},
      {"the container as its own hash list",
       {"import", "{c}", "{c}"},
       kExitFailure,
       "is the container",
       true},
      {"UTF-16LE", {"import", "{c}", "{d}/le"}, kExitOk, "read as UTF-16LE", false},
      {"UTF-16BE", {"import", "{c}", "{d}/be"}, kExitOk, "2 accepted", false},
      {"UTF-8 byte order mark",
       {"import", "{c}", "{d}/bom"},
       kExitOk,
       "accepted lines: 1-2",
       false},
      {"UTF-16 without a mark",
       {"import", "{c}", "{d}/bare16"},
       kExitFailure,
       "no line is a hash list line",
       true},
      {"a NUL inside a line",
       {"import", "{c}", "{d}/with-nul"},
       kExitOk,
       ":1: skipped: holds a NUL",
       false},
      {"empty jsonl", {"apply", "{c}", "{d}/empty"}, kExitFailure, "holds no entry", true},
      {"the container as its own jsonl file",
       {"apply", "{c}", "{c}"},
       kExitFailure,
       "is the container",
       true},
      {"removing the last entries",
       {"remove", "{c}", "0000000100000001.*", "0000000200000002.*", "0000000300000003.*"},
       kExitFailure,
       "would be left empty",
       true},
      {"removing the last entries, asked",
       {"remove", "{c}", "0000000100000001.*", "0000000200000002.*", "0000000300000003.*",
        "--allow-empty"},
       kExitOk,
       "wrote",
       false},
  };
  RunRows(rows, [](const TempDir& dir) {
    WriteText(dir, "empty", "");
    WriteText(dir, "junk", "hello\nworld\n");
    WriteText(dir, "le", Utf16("5 5\r\n6 6\r\n", true));
    WriteText(dir, "be", Utf16("5 5\n6 6\n", false));
    WriteText(dir, "bom",
              "\xEF\xBB\xBF"
              "5 5\n6 6\n");
    WriteText(dir, "bare16", Utf16("5 5\n6 6\n", true).substr(2));
    WriteText(dir, "with-nul", std::string("10 ab\0cd\n7 7\n", 13));
  });
  // What the decoded and the NUL rows stored: exactly the lines as written.
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"import", box, WriteText(dir, "le", Utf16("5 5\r\n6 6\r\n", true))}).rc, kExitOk);
  EXPECT_NE(Ctl({"export", "--format", "hashlist", box}).out, "");
  EXPECT_EQ(Ctl({"export", "--format", "hashlist", box}).out,
            "00000005 00000005\n00000006 00000006\n");
  ASSERT_EQ(
      Ctl({"import", box, WriteText(dir, "with-nul", std::string("10 ab\0cd\n7 7\n", 13))}).rc,
      kExitOk);
  EXPECT_EQ(Ctl({"export", "--format", "hashlist", box}).out, "00000007 00000007\n");
}

// An existing file of 0 bytes (what `export C > C` leaves of C) is not taken
// for a new container by any command that writes, dry run or not: it stays as
// it is, to the modification time. Where no file is, a new container is made.
TEST(CtlRefusal, AnEmptyFileIsNoNewContainer) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int missing_rc;  // where no file is
    bool creates;    // ... and the container is then made
  } rows[] = {
      {"import", {"import", "{c}", "{d}/h"}, kExitOk, true},
      {"add", {"add", "{c}", "--hash", "9", "9"}, kExitOk, true},
      {"apply", {"apply", "{c}", "{d}/list.jsonl"}, kExitOk, true},
      {"merge", {"merge", "{c}", "{d}/src.mnf"}, kExitOk, true},
      // Nothing to remove from a list that is not there.
      {"remove", {"remove", "{c}", "0000000800000008.*"}, kExitFailure, false},
      {"import, dry run", {"import", "--dry-run", "{c}", "{d}/h"}, kExitOk, false},
      {"apply, dry run", {"apply", "--dry-run", "{c}", "{d}/list.jsonl"}, kExitOk, false},
      {"apply --check", {"apply", "--check", "{c}", "{d}/list.jsonl"}, kExitFindings, false},
      {"merge, dry run", {"merge", "--dry-run", "{c}", "{d}/src.mnf"}, kExitOk, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    WriteText(dir, "h", "8 8\n");
    ASSERT_EQ(Ctl({"import", Arg(dir, "src.mnf"), Arg(dir, "h")}).rc, kExitOk);
    WriteText(dir, "list.jsonl", Ctl({"export", Arg(dir, "src.mnf")}).out);
    const std::filesystem::path box = dir.path() / "c.mnf";

    WriteText(dir, "c.mnf", "");
    const auto old_time = std::filesystem::last_write_time(box) - std::chrono::hours(1);
    std::filesystem::last_write_time(box, old_time);
    const CtlResult empty = Ctl(Expand(dir, row.args));
    EXPECT_EQ(empty.rc, kExitFailure) << empty.out;
    EXPECT_NE(empty.err.find("c.mnf: the file is empty (0 bytes), not a container"),
              std::string::npos)
        << empty.err;
    EXPECT_NE(empty.err.find("remove the empty file first"), std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(box), 0u);
    EXPECT_EQ(std::filesystem::last_write_time(box), old_time);

    std::filesystem::remove(box);
    const CtlResult missing = Ctl(Expand(dir, row.args));
    EXPECT_EQ(missing.rc, row.missing_rc) << missing.err;
    EXPECT_EQ(std::filesystem::exists(box), row.creates);
    if (row.creates) {
      EXPECT_EQ(Ctl({"verify", Arg(dir, "c.mnf")}).rc, kExitOk);
    }
  }
}

TEST(CtlRefusal, ACollisionIsNeverSilent) {
  const std::string both = std::string(kFirstOfPair) + "\n" + kSecondOfPair + "\n";
  const std::vector<Row> rows = {
      {"import",
       {"import", "{c}", "{d}/both"},
       kExitFindings,
       "\"773aef21242883e4.*\" is lost",
       true},
      {"import, asked",
       {"import", "{c}", "{d}/both", "--allow-collisions"},
       kExitFindings,
       "(line 1), which a list cannot hold",
       false},
      {"add",
       {"add", "{c}", "--hash", "68bea8e6", "c0e3f0c5"},
       kExitFindings,
       "\"68bea8e6c0e3f0c5.*\" (--hash 1) has the name key",
       true},
      {"add, asked",
       {"add", "{c}", "--hash", "68bea8e6", "c0e3f0c5", "--allow-collisions"},
       kExitFindings,
       "is lost",
       false},
      {"apply",
       {"apply", "{c}", "{d}/both.jsonl"},
       kExitFindings,
       "(line 2) has the name key",
       true},
      {"merge", {"merge", "{c}", "{d}/second.mnf"}, kExitFindings, "is lost", true},
      {"merge, asked",
       {"merge", "--prefer", "src", "{c}", "{d}/second.mnf", "--allow-collisions"},
       kExitFindings,
       "\"773aef21242883e4.*\" (DST)",
       false},
      {"remove by a name of the same key",
       {"remove", "{c}", "68bea8e6c0e3f0c5.*"},
       kExitFindings,
       "the NAME to remove",
       true},
  };
  RunRows(rows, [&](const TempDir& dir) {
    const std::string box = Arg(dir, "c.mnf");
    ASSERT_EQ(Ctl({"add", box, "--hash", "773aef21", "242883e4"}).rc, kExitOk);
    WriteText(dir, "both", both);
    const std::string second = Arg(dir, "second.mnf");
    ASSERT_EQ(
        Ctl({"import", second, WriteText(dir, "second", std::string(kSecondOfPair) + "\n")}).rc,
        kExitOk);
    TempDir other;
    const std::string pair = Arg(other, "p.mnf");
    ASSERT_EQ(Ctl({"import", pair, WriteText(other, "b", both), "--allow-collisions"}).rc,
              kExitFindings);
    ASSERT_EQ(Ctl({"import", pair, WriteText(other, "a", std::string(kFirstOfPair) + "\n")}).rc,
              kExitOk);
    const std::string first_line = Ctl({"export", pair}).out;
    ASSERT_EQ(Ctl({"import", pair, WriteText(other, "c", std::string(kSecondOfPair) + "\n")}).rc,
              kExitOk);
    WriteText(dir, "both.jsonl", first_line + Ctl({"export", pair}).out);
  });
}

TEST(CtlRefusal, AnArgumentMeansOneThing) {
  const std::vector<Row> rows = {
      {"a trailing colon",
       {"add", "{c}:", "--hash", "9", "9"},
       kExitUsage,
       "ends in a colon",
       true},
      {"a stream and a trailing colon",
       {"add", "{c}:BlockList:", "--hash", "9", "9"},
       kExitUsage,
       "ends in a colon",
       true},
      {"a misspelt stream",
       {"add", "{c}:ProgramLists", "--hash", "9", "9"},
       kExitFailure,
       "--new-stream creates it",
       true},
      {"a new stream, asked",
       {"add", "{c}:Other", "--hash", "9", "9", "--new-stream"},
       kExitOk,
       "wrote stream \"Other\"",
       false},
      {"an incomplete --hash pair",
       {"add", "{c}", "--hash", "1", "1", "--hash", "2"},
       kExitUsage,
       "the last one has one",
       true},
      {"remove: an incomplete --hash pair",
       {"remove", "{c}", "--hash", "3"},
       kExitUsage,
       "the last --hash has one",
       true},
      {"only separators as tokens",
       {"add", "{c}", "--path", "a.exe", "--tokens", ";"},
       kExitUsage,
       "an empty token",
       true},
      {"an empty token",
       {"add", "{c}", "--path", "a.exe", "--tokens", "a;;b"},
       kExitUsage,
       "an empty token",
       true},
      {"an empty text",
       {"add", "{c}", "--path", "a.exe", "--text1", ""},
       kExitUsage,
       "--text1 is empty",
       true},
      {"a text above its field",
       {"add", "{c}", "--path", "a.exe", "--text2", std::string(64, 'x')},
       kExitUsage,
       "longer than 63",
       true},
      {"a time stamp file that is no executable",
       {"add", "{c}", "--path", "a.exe", "--timestamp-file", "{d}/plain"},
       kExitFailure,
       "not an executable",
       true},
  };
  RunRows(rows, [](const TempDir& dir) { WriteText(dir, "plain", "just text"); });
  TempDir dir;
  // A new container takes ProgramList and BlockList without asking.
  EXPECT_EQ(Ctl({"add", Arg(dir, "n.mnf") + ":BlockList", "--hash", "9", "9"}).rc, kExitOk);
  EXPECT_EQ(Ctl({"add", Arg(dir, "m.mnf") + ":Blocklst", "--hash", "9", "9"}).rc, kExitFailure);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "m.mnf"));
}

// Damage in BlockList stops an edit of ProgramList, for every command that
// writes: framing its payload cannot be walked past (a block's magic), and a
// broken chain.
TEST(CtlRefusal, DamageAnywhereStopsAnEdit) {
  const struct {
    const char* what;
    std::string message;
    bool in_table;  // the chain's table entry, else block 1's magic
  } damages[] = {
      {"a block's magic", "\"BlockList\" program block 1", false},
      {"a broken chain", "link-out-of-range", true},
  };
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.what);
    std::vector<Row> rows = {
        {"import", {"import", "{c}", "{d}/h"}, kExitFailure, damage.message, true},
        {"add", {"add", "{c}", "--hash", "9", "9"}, kExitFailure, damage.message, true},
        {"remove", {"remove", "{c}", "0000000100000001.*"}, kExitFailure, damage.message, true},
        {"apply", {"apply", "{c}", "{d}/list.jsonl"}, kExitFailure, damage.message, true},
        {"merge", {"merge", "{c}", "{d}/src.mnf"}, kExitFailure, damage.message, true},
        {"import, dry run",
         {"import", "--dry-run", "{c}", "{d}/h"},
         kExitFailure,
         damage.message,
         true},
    };
    RunRows(rows, [&](const TempDir& dir) {
      const std::string box = Arg(dir, "c.mnf");
      WriteText(dir, "h", "8 8\n");
      ASSERT_EQ(Ctl({"import", Arg(dir, "src.mnf"), Arg(dir, "h")}).rc, kExitOk);
      WriteText(dir, "list.jsonl", Ctl({"export", Arg(dir, "src.mnf")}).out);
      ASSERT_EQ(Ctl({"import", box + ":BlockList", Arg(dir, "h"), "--new-stream"}).rc, kExitOk);
      uint64_t at = 0;
      uint32_t first = 0;
      {  // closed before the file is changed (Windows shares it for reading only)
        ContainerReader r;
        const std::u16string path = Utf8ToU16(box);
        ASSERT_TRUE(r.Open(path.c_str()));
        const DirEntryInfo& block = r.entries()[static_cast<size_t>(r.FindStream(u"BlockList"))];
        first = block.first_block;
        at = r.geometry().data_offset + uint64_t{first - 2u} * r.geometry().block_size;
      }
      if (damage.in_table) {
        // The chain's entry names a block far beyond the 32-entry table.
        FlipByte(box, kTableOffset + 2 * first + 1, 0x40);
      } else {
        FlipByte(box, at + 16 + 8, 1);  // block 1's magic
      }
    });
  }
}

TEST(CtlTest, TellsAllowedFromBlocked) {
  TempDir dir;
  WriteAll(dir.path() / "good.exe", PeImage(1, 3000));
  WriteAll(dir.path() / "bad.exe", PeImage(2, 3000));
  WriteAll(dir.path() / "both.exe", PeImage(3, 3000));
  WriteAll(dir.path() / "other.exe", PeImage(4, 3000));
  const std::string box = Arg(dir, "c.mnf");
  const auto add = [&](const std::string& stream, const char* file) {
    ASSERT_EQ(Ctl({"add", box + ":" + stream, "--path", file, "--fingerprint-file", Arg(dir, file),
                   "--new-stream"})
                  .rc,
              kExitOk);
  };
  add("ProgramList", "good.exe");
  add("ProgramList", "both.exe");
  add("BlockList", "bad.exe");
  add("BlockList", "both.exe");
  struct Case {
    std::string target;
    std::vector<const char*> files;
    int rc;
    std::vector<std::string> verdicts;
  } cases[] = {
      {box, {"good.exe"}, kExitOk, {"allowed"}},
      {box, {"bad.exe"}, kExitBlocked, {"blocked"}},
      {box, {"both.exe"}, kExitBlocked, {"blocked"}},
      {box, {"other.exe"}, kExitFindings, {"not listed"}},
      {box, {"good.exe", "other.exe"}, kExitFindings, {"allowed", "not listed"}},
      {box, {"other.exe", "bad.exe"}, kExitBlocked, {"not listed", "blocked"}},
      {box + ":ProgramList", {"both.exe"}, kExitBlocked, {"blocked"}},  // BlockList still counts
      {box + ":BlockList", {"good.exe"}, kExitFindings, {"not listed"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"test", "--json", c.target};
    for (const char* f : c.files) args.push_back(Arg(dir, f));
    SCOPED_TRACE(args.back());
    const CtlResult j = Ctl(args);
    EXPECT_EQ(j.rc, c.rc) << j.err;
    const nlohmann::json doc = nlohmann::json::parse(j.out);
    ASSERT_EQ(doc["files"].size(), c.verdicts.size());
    for (size_t i = 0; i < c.verdicts.size(); ++i) {
      EXPECT_EQ(doc["files"][i]["verdict"], c.verdicts[i]);
    }
    args.erase(args.begin() + 1);
    const CtlResult t = Ctl(args);
    EXPECT_EQ(t.rc, c.rc);
    for (const std::string& v : c.verdicts) {
      EXPECT_NE(t.out.find("\n  " + v + "\n"), std::string::npos) << t.out;
    }
  }
  // A wrong command line is never taken for a verdict, and blocked is no
  // other condition's code.
  EXPECT_EQ(Ctl({"test", "--jsn", box, Arg(dir, "bad.exe")}).rc, ctl::kExitUsage);
  EXPECT_NE(kExitBlocked, ctl::kExitUsage);
  EXPECT_NE(kExitBlocked, ctl::kExitFailure);
  // Sizes and CRCs as hash prints them, ready for add --hash or a hash list.
  const std::string line = Ctl({"hash", Arg(dir, "other.exe")}).out;
  EXPECT_NE(Ctl({"test", box, Arg(dir, "other.exe")}).out.find(line.substr(0, 17)),
            std::string::npos);
  EXPECT_NE(Ctl({"dump", box}).out.find("size crc 0000"), std::string::npos);
}

// The streams the product reads are always there to be written; a name that
// differs from a known or held one only in case is a slip, refused whatever
// the options, and a new name needs --new-stream.
TEST(CtlStreams, TheProductsStreamsAreWritableAndCaseSlipsAreRefused) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"add", box, "--hash", "1", "1"}).rc, kExitOk);  // ProgramList only
  ASSERT_EQ(Ctl({"add", box + ":Team", "--hash", "2", "2", "--new-stream"}).rc, kExitOk);
  struct Row {
    const char* stream;
    std::vector<std::string> more;
    int rc;
    const char* says;  // in the error stream, or the output when it wrote
  };
  const Row rows[] = {
      {"BlockList", {}, kExitOk, "wrote stream \"BlockList\""},
      {"Blocklist", {}, ctl::kExitUsage, "differs only in case from \"BlockList\""},
      {"programlist", {"--new-stream"}, ctl::kExitUsage, "from \"ProgramList\""},
      {"team", {"--new-stream"}, ctl::kExitUsage, "from \"Team\""},
      {"Teams", {}, kExitFailure, "--new-stream creates it"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.stream);
    const std::vector<uint8_t> before = FileBytes(box);
    std::vector<std::string> args = {"add", box + ":" + r.stream, "--hash", "3", "3"};
    args.insert(args.end(), r.more.begin(), r.more.end());
    const CtlResult c = Ctl(args);
    EXPECT_EQ(c.rc, r.rc) << c.err;
    EXPECT_NE((c.err + c.out).find(r.says), std::string::npos) << c.err << c.out;
    if (r.rc != kExitOk) {
      EXPECT_EQ(FileBytes(box), before);
    }
  }
  // The same rule holds for every writing command (one road), dry runs too.
  EXPECT_EQ(Ctl({"import", "--dry-run", box + ":blocklist", WriteText(dir, "h", "4 4\n")}).rc,
            ctl::kExitUsage);
}

// A write that makes a new container says so (a misspelt container name must
// not make one quietly); a dry run says it would; a refused one makes none.
TEST(CtlStreams, ANewContainerIsAnnounced) {
  TempDir dir;
  const std::string box = Arg(dir, "new.mnf");
  const std::string list = WriteText(dir, "h.txt", "1 1\n");
  const CtlResult dry = Ctl({"import", "--dry-run", box, list});
  EXPECT_NE(dry.out.find("does not exist; it would be created"), std::string::npos) << dry.out;
  const CtlResult refused = Ctl({"add", box + ":Other", "--hash", "1", "1"});
  EXPECT_EQ(refused.rc, kExitFailure);
  EXPECT_EQ(refused.out.find("created"), std::string::npos) << refused.out;
  EXPECT_FALSE(std::filesystem::exists(Utf8ToU16(box)));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"add", box, "--hash", "1", "1"},
        std::vector<std::string>{"import", Arg(dir, "new2.mnf"), list},
        std::vector<std::string>{"merge", Arg(dir, "new3.mnf"), box}}) {
    SCOPED_TRACE(args[0]);
    const CtlResult made = Ctl(args);
    EXPECT_EQ(made.rc, kExitOk) << made.err;
    EXPECT_NE(made.out.find("created " + args[1] + ": a new container"), std::string::npos)
        << made.out;
  }
  EXPECT_EQ(Ctl({"add", box, "--hash", "2", "2"}).out.find("created"), std::string::npos);
}

// remove --path names a program as add --path does (one rule), and a name that
// is not there is shown beside the stored names that end like it.
TEST(CtlRemove, ByPathAndWithHints) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"add", box, "--path", "C:\\x\\vim.exe", "--value", "1", "--path", "/usr/bin/yes",
                 "--value", "1", "--hash", "5", "5"})
                .rc,
            kExitOk);
  const CtlResult miss = Ctl({"remove", box, "vim.exe", "VIM.EXE@*x"});
  EXPECT_EQ(miss.rc, kExitFindings);
  EXPECT_NE(miss.out.find("not present: \"vim.exe\"; stored names that end like it: "
                          "\"vim.exe@*\"\n"),
            std::string::npos)
      << miss.out;
  EXPECT_NE(miss.out.find("not present: \"VIM.EXE@*x\"\n"), std::string::npos) << miss.out;
  struct Row {
    std::vector<std::string> args;  // after "remove BOX"
    const char* removed;
  };
  const Row rows[] = {
      {{"--path", "D:\\other\\VIM.exe"}, "removed \"VIM.exe@*\""},  // its key, A-Z folded
      {{"--path", "/usr/bin/yes"}, "removed \"/usr/bin/yes\""},
  };
  for (const Row& r : rows) {
    std::vector<std::string> args = {"remove", box};
    args.insert(args.end(), r.args.begin(), r.args.end());
    const CtlResult c = Ctl(args);
    EXPECT_EQ(c.rc, kExitOk) << c.err;
    EXPECT_NE(c.out.find(r.removed), std::string::npos) << c.out;
  }
  EXPECT_EQ(Ctl({"export", "--format", "hashlist", box}).out, "00000005 00000005\n");
}

// add --hash-of and --hashes add fingerprint-only entries and keep the rest
// of the stream; what they add is what hash and import would make.
TEST(CtlAdd, HashesOfFilesAndListsKeepTheRest) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "tree" / "sub");
  WriteAll(dir.path() / "tree" / "a.exe", PeImage(1, 3000));
  WriteAll(dir.path() / "tree" / "sub" / "b.exe", PeImage(2, 4000));
  WriteAll(dir.path() / "c.exe", PeImage(3, 5000));
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"add", box, "--path", "keep.exe", "--value", "1"}).rc, kExitOk);
  const std::string hashes =
      Ctl({"hash", "-r", Arg(dir, "tree"), Arg(dir, "c.exe")}).out;  // three lines
  const CtlResult files = Ctl({"add", box, "--hash-of", Arg(dir, "c.exe"), Arg(dir, "tree"), "-r"});
  EXPECT_EQ(files.rc, kExitOk) << files.err;
  const CtlResult list =
      Ctl({"add", box, "--hashes", WriteText(dir, "l.txt", "junk\n9 9\n" + hashes)});
  EXPECT_EQ(list.rc, kExitOk) << list.err;
  EXPECT_NE(list.out.find("already present"), std::string::npos) << list.out;
  // keep.exe, the three files once each, and 9 9.
  const CtlResult exported = Ctl({"export", box});
  size_t lines = 0;
  for (char c : exported.out) lines += c == '\n';
  EXPECT_EQ(lines, 5u) << exported.out;
  EXPECT_NE(exported.out.find("\"keep.exe\""), std::string::npos);
  EXPECT_EQ(Ctl({"export", "--format", "hashlist", "--skip-other", box}).out.size(),
            hashes.size() + 18);
  // A directory without -r, a missing file, a list with no usable line: exit 2,
  // nothing written.
  const std::vector<uint8_t> before = FileBytes(box);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--hash-of", Arg(dir, "tree")},
        std::vector<std::string>{"--hash-of", Arg(dir, "none.exe")},
        std::vector<std::string>{"--hashes", WriteText(dir, "junk.txt", "junk\n")}}) {
    std::vector<std::string> full = {"add", box};
    full.insert(full.end(), args.begin(), args.end());
    EXPECT_EQ(Ctl(full).rc, kExitFailure) << args[1];
    EXPECT_EQ(FileBytes(box), before);
  }
}

}  // namespace
}  // namespace tl::test
