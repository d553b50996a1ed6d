// trustctl export, apply, test, merge and lint, and the capacity checks of the
// writing commands, against containers made by the library's own writer.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "common/le.h"
#include "common/u16.h"
#include "ctl_test_util.h"
#include "entry/hash_list.h"
#include "entry/list_payload.h"
#include "entry/list_store.h"
#include "fingerprint/file_fingerprint.h"
#include "minifile/creation_parameters.h"
#include "minifile/minifile.h"
#include "trustctl.h"
#include "view/container_view.h"
#include "view/entry_json.h"
#include "view/payload_view.h"

namespace tl::test {
namespace {

using ctl::kExitFailure;
using ctl::kExitFindings;
using ctl::kExitOk;
using ctl::kExitUsage;

// A fingerprint-only block as the hash list import builds it.
std::vector<uint8_t> HashBlock(uint32_t size, uint32_t crc) {
  std::vector<uint8_t> b(kHashBlockSize);
  BuildHashBlock(b.data(), size, crc);
  StoreU32(b.data(), kBlockMagicOffset, kBlockMagic);
  return b;
}

std::vector<uint8_t> Payload(const std::vector<std::vector<uint8_t>>& blocks) {
  std::vector<uint8_t> p(kPayloadHeaderBytes, 0);
  for (const auto& b : blocks) p.insert(p.end(), b.begin(), b.end());
  p.insert(p.end(), 4, 0);
  StoreU16(p.data(), kPayloadTagOffset, kPayloadTag);
  StoreU16(p.data(), kPayloadCountOffset, static_cast<uint16_t>(blocks.size()));
  StoreU32(p.data(), kPayloadBlocksSizeOffset, static_cast<uint32_t>(p.size() - 16));
  return p;
}

// Writes streams with the library's writer, in a container of the given geometry.
void WriteStreams(const std::string& container,
                  const std::vector<std::pair<std::u16string, std::vector<uint8_t>>>& streams,
                  uint32_t block_size = 0x100000, uint32_t table_entries = 32) {
  const CreationParameters p{20, block_size, table_entries, 4, 0};
  const std::u16string path = Utf8ToU16(container);
  for (const auto& [name, payload] : streams) {
    ListStore store;
    ASSERT_EQ(store.Open(path.c_str(), p), StoreStatus::kOk);
    EXPECT_EQ(store.Write(name.c_str(), payload.data(), static_cast<uint32_t>(payload.size())),
              StoreStatus::kOk);
  }
}

// Entries the fields alone cannot rebuild, each as the library stores bytes.
std::vector<std::vector<uint8_t>> OddBlocks() {
  std::vector<std::vector<uint8_t>> odd;
  odd.push_back(HashBlock(1, 1));
  StoreU32(odd.back().data(), 36, 0xABCD);  // reserved bytes not zero
  odd.push_back(HashBlock(2, 2));
  StoreU64(odd.back().data(), kBlockKeyOffset, 0x1234);  // a key that is not the name key
  odd.push_back(HashBlock(3, 3));
  StoreU16(odd.back().data(), kBlockLoadedTagOffset, kLoadedTag);
  odd.push_back(HashBlock(4, 4));
  StoreU16(odd.back().data(), kPbPoolStart + 2, 0xD800);  // an unpaired surrogate in the name
  StoreU64(odd.back().data(), kBlockKeyOffset, 0);
  return odd;
}

TEST(CtlExportApply, RoundTripIsByteExact) {
  TempDir dir;
  WriteAll(dir.path() / "tool.exe", PeImage(0x5F5E1000, 9000));
  const std::string rich = Arg(dir, "rich.mnf");
  ASSERT_EQ(Ctl({"add",      rich,    "--path",   "C:\\T\\app.exe",
                 "--tokens", "a;b",   "--text1",  "\"one\"",
                 "--text2",  "two\n", "--text3",  "\xc3\xa9",
                 "--pair",   "7,9",   "--file",   Arg(dir, "tool.exe"),
                 "--path",   "bare",  "--tokens", "t",
                 "--path",   "v.exe", "--value",  "0xffffffff",
                 "--hash",   "2000",  "1234ABCD"})
                .rc,
            kExitOk);
  const std::string odd = Arg(dir, "odd.mnf");
  WriteStreams(odd, {{u"ProgramList", Payload(OddBlocks())}});
  const std::string empty = Arg(dir, "empty.mnf");
  WriteStreams(empty, {{u"ProgramList", Payload({})}});
  // A target that holds other streams, which must stay as they are.
  const std::string other = Arg(dir, "other.mnf");
  WriteStreams(other, {{u"BlockList", Payload({HashBlock(9, 9)})},
                       {u"ProgramList", Payload({HashBlock(8, 8)})}});
  const std::vector<uint8_t> other_block_list = StreamPayload(other, u"BlockList");

  for (const std::string& source : {rich, empty, odd}) {  // odd last: verify calls it damaged
    SCOPED_TRACE(source);
    const CtlResult exported = Ctl({"export", source});
    ASSERT_EQ(exported.rc, kExitOk) << exported.err;
    const std::string jsonl = WriteText(dir, "list.jsonl", exported.out);
    const std::vector<uint8_t> original = StreamPayload(source, u"ProgramList");
    for (const std::string& target : {Arg(dir, "new.mnf"), other}) {
      const CtlResult applied = Ctl({"apply", target, jsonl, "--allow-empty"});
      ASSERT_EQ(applied.rc, kExitOk) << applied.err;
      EXPECT_EQ(StreamPayload(target, u"ProgramList"), original);
      EXPECT_EQ(Ctl({"export", target}).out, exported.out);
      std::filesystem::remove(dir.path() / "new.mnf");
    }
    EXPECT_EQ(StreamPayload(other, u"BlockList"), other_block_list);
  }
  // Exactly the odd entries carry their bytes; a plain one is fields alone.
  const std::string odd_out = Ctl({"export", odd}).out;
  size_t with_bytes = 0;
  for (size_t at = odd_out.find("\"bytes\""); at != std::string::npos;
       at = odd_out.find("\"bytes\"", at + 1)) {
    ++with_bytes;
  }
  EXPECT_EQ(with_bytes, 4u);
  EXPECT_EQ(Ctl({"export", rich}).out.find("\"bytes\""), std::string::npos);
}

// What apply writes from an export that kept odd entries byte for byte is a
// container every writing command edits again: each keeps those entries as
// stored, and verify still names them.
TEST(CtlExportApply, WhatTrustctlWroteItEditsAgain) {
  TempDir dir;
  std::vector<std::vector<uint8_t>> blocks = OddBlocks();
  size_t odd_bytes = 0;
  for (const auto& b : blocks) odd_bytes += b.size();
  blocks.push_back(HashBlock(5, 5));  // a plain entry behind them, for remove
  const std::string source = Arg(dir, "source.mnf");
  WriteStreams(source, {{u"ProgramList", Payload(blocks)}});
  const std::string jsonl = Ctl({"export", source}).out;
  WriteText(dir, "base.jsonl", jsonl);
  const std::vector<uint8_t> stored = StreamPayload(source, u"ProgramList");
  const std::vector<uint8_t> odd(stored.begin() + 16, stored.begin() + 16 + odd_bytes);
  // An entry for apply, import and merge to bring in.
  WriteStreams(Arg(dir, "more.mnf"), {{u"ProgramList", Payload({HashBlock(7, 7)})}});
  WriteText(dir, "plus.jsonl", jsonl + Ctl({"export", Arg(dir, "more.mnf")}).out);
  WriteText(dir, "h", "7 7\n");

  const struct {
    const char* name;
    std::vector<std::string> args;  // {b}: the container apply wrote
    const char* edited;             // the container whose ProgramList is checked
    size_t at;                      // where the odd entries lie in its payload
  } rows[] = {
      {"add", {"add", "{b}", "--hash", "7", "7"}, "base.mnf", 16},
      {"remove", {"remove", "{b}", "0000000500000005.*"}, "base.mnf", 16},
      {"import into its other stream",
       {"import", "{b}:BlockList", "{d}h", "--new-stream"},
       "base.mnf",
       16},
      {"apply", {"apply", "{b}", "{d}plus.jsonl"}, "base.mnf", 16},
      {"merge into it", {"merge", "{b}", "{d}more.mnf"}, "base.mnf", 16},
      {"merge from it", {"merge", "{d}more.mnf", "{b}"}, "more.mnf", 16 + 200},  // behind 7 7
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove(dir.path() / "base.mnf");
    WriteStreams(Arg(dir, "more.mnf"), {{u"ProgramList", Payload({HashBlock(7, 7)})}});
    ASSERT_EQ(Ctl({"apply", Arg(dir, "base.mnf"), Arg(dir, "base.jsonl")}).rc, kExitOk);
    ASSERT_EQ(StreamPayload(Arg(dir, "base.mnf"), u"ProgramList"), stored);
    std::vector<std::string> args;
    for (std::string a : row.args) {
      if (a == "{b}") a = Arg(dir, "base.mnf");
      if (a.rfind("{d}", 0) == 0) a = Arg(dir, a.substr(3));
      if (a == "{b}:BlockList") a = Arg(dir, "base.mnf") + ":BlockList";
      args.push_back(a);
    }
    const CtlResult r = Ctl(args);
    EXPECT_EQ(r.rc, kExitOk) << r.err;
    const std::string edited = Arg(dir, row.edited);
    const std::vector<uint8_t> after = StreamPayload(edited, u"ProgramList");
    // The odd entries, byte for byte as they were stored.
    ASSERT_GE(after.size(), row.at + odd.size());
    const auto from = after.begin() + static_cast<long>(row.at);
    EXPECT_EQ(std::vector<uint8_t>(from, from + static_cast<long>(odd.size())), odd);
    const CtlResult v = Ctl({"verify", edited});
    EXPECT_EQ(v.rc, kExitFindings);
    EXPECT_NE(v.out.find("reserved bytes or trailer not zero"), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("is not the name key"), std::string::npos) << v.out;
  }
}

TEST(CtlApply, EveryLineIsCheckedBeforeAnythingIsWritten) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  WriteStreams(box, {{u"ProgramList", Payload({HashBlock(1, 1)})}});
  const std::vector<uint8_t> before = FileBytes(box);
  const std::string good = nlohmann::json::parse(Ctl({"export", box}).out).dump();
  const std::string key_of_1 = nlohmann::json::parse(good)["key"];
  char key2[24];
  std::snprintf(key2, sizeof key2, "0x%016llx",
                static_cast<unsigned long long>(LoadU64(HashBlock(2, 2).data(), kBlockKeyOffset)));
  const std::string two = std::string(R"({"name":"0000000200000002.*","key":")") + key2 +
                          R"(","kind":2,"flags":128,"fingerprint":"0x0000000200000002")";
  struct Case {
    const char* name;
    std::string second_line;
    std::string message;
  } cases[] = {
      {"not json", "{\"name\":", ":2: not valid JSON"},
      {"not an object", "[1]", ":2: not a JSON object"},
      {"missing name", R"({"key":"0x0000000000000000","kind":2,"flags":0})",
       "\"name\" must be a string"},
      {"flags without the field",
       R"({"name":"x@*","key":"0x00000000ad0f4efc","kind":2,"flags":16})",
       "\"text1\" must be a string"},
      {"field the flags do not announce", two + R"(,"value":1})", "\"value\" does not belong"},
      {"key not the name key",
       R"({"name":"0000000200000002.*","key":"0x0000000000000001","kind":2,"flags":128,)"
       R"("fingerprint":"0x0000000200000002"})",
       "field \"key\" is \"0x0000000000000001\", the entry gives"},
      {"malformed key", R"({"name":"v","key":"0x0","kind":2,"flags":1,"value":1})",
       "\"key\" must be"},
      {"value out of range", "", "\"value\" must be a number from 0 to 4294967295"},
      {"duplicate key", good, "same key " + key_of_1 + " as line 1"},
      {"bytes not base64", R"({"name":"a","bytes":"***"})", "\"bytes\" is not base64"},
      {"edited bytes entry", "", "\"fingerprint\" is"},
  };
  // An odd entry's bytes with its fingerprint field edited.
  WriteStreams(Arg(dir, "odd.mnf"), {{u"ProgramList", Payload({OddBlocks()[0]})}});
  nlohmann::json edited = nlohmann::json::parse(Ctl({"export", Arg(dir, "odd.mnf")}).out);
  edited["fingerprint"] = "0x0000000100000002";
  cases[10].second_line = edited.dump();
  nlohmann::json wide = nlohmann::json::parse(two + "}");
  wide["flags"] = 129;
  wide["value"] = 4294967296ull;
  cases[7].second_line = wide.dump();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = WriteText(dir, "in.jsonl", good + "\n" + c.second_line + "\n");
    for (const char* mode : {"--dry-run", "--"}) {
      const CtlResult r = Ctl({"apply", mode, box, file});
      EXPECT_EQ(r.rc, kExitFailure);
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
      EXPECT_EQ(FileBytes(box), before);
    }
  }
}

// A line written by hand needs only the name and the fields: key, kind and
// flags follow from them; given, they must agree.
TEST(CtlApply, HandWrittenLinesNeedOnlyTheirFields) {
  TempDir dir;
  const std::string want = Arg(dir, "want.mnf");
  ASSERT_EQ(
      Ctl({"add", want, "--hash", "1", "1", "--path", "app.exe", "--text1", "t", "--pair", "5,6"})
          .rc,
      kExitOk);
  const std::string box = Arg(dir, "c.mnf");
  const std::string hand =
      WriteText(dir, "hand.jsonl",
                R"({"name":"0000000100000001.*","fingerprint":"0x0000000100000001"})"
                "\n"
                R"({"name":"app.exe","text1":"t","value":5,"valueSecond":6})"
                "\n");
  const CtlResult r = Ctl({"apply", box, hand});
  EXPECT_EQ(r.rc, kExitOk) << r.err;
  EXPECT_EQ(StreamPayload(box, u"ProgramList"), StreamPayload(want, u"ProgramList"));
  struct Row {
    const char* line;
    const char* says;
  };
  const Row rows[] = {
      {R"({"name":"app.exe","value":5,"key":"0x0000000000000001"})", "field \"key\" is"},
      {R"({"name":"app.exe","value":5,"flags":2})", "\"valueSecond\""},
      {R"({"name":"app.exe","value":5,"kind":3})", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const CtlResult c = Ctl({"apply", "--check", box, WriteText(dir, "r.jsonl", row.line)});
    if (row.says[0] == 0) {
      EXPECT_NE(c.rc, kExitFailure) << c.err;  // a kind of its own is the entry's to have
    } else {
      EXPECT_EQ(c.rc, kExitFailure);
      EXPECT_NE(c.err.find(row.says), std::string::npos) << c.err;
    }
  }
  // --check lists what it would change, as diff does.
  const CtlResult check = Ctl(
      {"apply", "--check", box, WriteText(dir, "one.jsonl", R"({"name":"b.exe@*","value":1})")});
  EXPECT_EQ(check.rc, kExitFindings);
  for (const char* line :
       {"+ \"b.exe@*\" key ", "- \"app.exe\" key ", "- \"0000000100000001.*\""}) {
    EXPECT_NE(check.out.find(line), std::string::npos) << line << "\n" << check.out;
  }
}

TEST(CtlExport, HashlistOnlyForFingerprintOnlyLists) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"import", box, WriteText(dir, "h", "2000 1234abcd\n0x10 0XFF\n")}).rc, kExitOk);
  const CtlResult h = Ctl({"export", "--format", "hashlist", box});
  EXPECT_EQ(h.rc, kExitOk);
  EXPECT_EQ(h.out, "00002000 1234abcd\n00000010 000000ff\n");
  ASSERT_EQ(Ctl({"add", box, "--path", "x.exe", "--value", "1"}).rc, kExitOk);
  const std::string out = Arg(dir, "out.txt");
  const CtlResult refused = Ctl({"export", "--format", "hashlist", "-o", out, box});
  EXPECT_EQ(refused.rc, kExitFailure);
  EXPECT_NE(refused.err.find("entry 3 \"x.exe\""), std::string::npos) << refused.err;
  EXPECT_FALSE(std::filesystem::exists(Utf8ToU16(out)));
  EXPECT_EQ(Ctl({"export", "--format", "hashlist", "--skip-other", "-o", out, box}).rc, kExitOk);
  EXPECT_EQ(FileBytes(out).size(), h.out.size());
  EXPECT_EQ(Ctl({"export", "--format", "csv", box}).rc, kExitUsage);
  EXPECT_EQ(Ctl({"export", box + ":BlockList"}).rc, kExitFailure);
}

// Lists whose jsonl is megabytes: plain entries (text smaller than the
// payload) and entries that all carry their bytes (text larger than it). Every
// line is the entry's own object, in list order, and apply rebuilds the list;
// damage met only at the end still leaves the output empty.
TEST(CtlExport, LongListsAreWholeOrNothing) {
  TempDir dir;
  struct Case {
    const char* what;
    bool odd;       // every entry keeps its bytes
    bool trailing;  // bytes after the terminator: refused
  };
  const Case cases[] = {
      {"plain", false, false},
      {"all with bytes", true, false},
      {"plain, damaged at the end", false, true},
      {"all with bytes, damaged at the end", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::vector<uint8_t>> blocks;
    for (uint32_t i = 0; i < 12000; ++i) {
      blocks.push_back(HashBlock(0x1000 + i, i * 0x9E3779B1u));
      if (c.odd) StoreU32(blocks.back().data(), 36, i + 1);  // reserved bytes not zero
    }
    std::vector<uint8_t> payload = Payload(blocks);
    if (c.trailing) payload.insert(payload.end(), 4, 0xEE);
    const std::string box = Arg(dir, "long.mnf");
    std::filesystem::remove(Utf8ToU16(box));
    WriteStreams(box, {{u"ProgramList", payload}}, 0x100000, 64);
    const CtlResult exported = Ctl({"export", box});
    if (c.trailing) {
      EXPECT_EQ(exported.rc, kExitFailure);
      EXPECT_EQ(exported.out, "");
      EXPECT_NE(exported.err.find("only a sound list is exported"), std::string::npos)
          << exported.err;
      continue;
    }
    ASSERT_EQ(exported.rc, kExitOk) << exported.err;
    EXPECT_EQ(exported.out.size() > payload.size(), c.odd);
    std::string expected;
    for (const auto& b : blocks) {
      expected += ctl::JsonLine(ctl::EntryToJson(b.data(), static_cast<uint32_t>(b.size()))) + "\n";
    }
    EXPECT_EQ(exported.out, expected);
    const std::string jsonl = WriteText(dir, "long.jsonl", exported.out);
    const std::string rebuilt = Arg(dir, "rebuilt.mnf");
    std::filesystem::remove(Utf8ToU16(rebuilt));
    ASSERT_EQ(Ctl({"apply", rebuilt, jsonl}).rc, kExitOk);
    EXPECT_EQ(StreamPayload(rebuilt, u"ProgramList"), payload);
  }
}

TEST(CtlTest, MatchesByFingerprintOrNameAndExplainsMisses) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "d");
  WriteAll(dir.path() / "d" / "listed.exe", PeImage(1, 5000));
  WriteAll(dir.path() / "d" / "named.exe", PeImage(2, 5000));
  WriteAll(dir.path() / "d" / "changed.exe", PeImage(3, 6000));
  WriteAll(dir.path() / "d" / "resized.exe", PeImage(4, 6001));
  WriteAll(dir.path() / "d" / "unknown.exe", PeImage(5, 7000));
  WriteAll(dir.path() / "old.exe", PeImage(6, 6000));
  const std::string box = Arg(dir, "c.mnf");
  const auto file = [&](const char* n) { return Arg(dir, std::string("d/") + n); };
  ASSERT_EQ(Ctl({"hash", file("listed.exe")}).rc, kExitOk);
  ASSERT_EQ(Ctl({"import", box, WriteText(dir, "h", Ctl({"hash", file("listed.exe")}).out)}).rc,
            kExitOk);
  // Named as test names the files it is given: by the library's rule over
  // the same text.
  ASSERT_EQ(Ctl({"add", box, "--path", file("named.exe"), "--value", "1", "--path",
                 file("changed.exe"), "--fingerprint-file", Arg(dir, "old.exe"), "--path",
                 file("resized.exe"), "--fingerprint-file", Arg(dir, "old.exe")})
                .rc,
            kExitOk);
  struct Case {
    const char* file;
    int rc;
    std::vector<std::string> lines;
  } cases[] = {
      {"listed.exe", kExitOk, {"  match ProgramList entry 1 by fingerprint"}},
      {"named.exe", kExitOk, {"  match ProgramList entry 2 by name"}},
      {"changed.exe",
       kExitFindings,
       {"  no match", "entry 3: same name, CRC differs", "entry 4: same size, CRC differs"}},
      {"resized.exe", kExitFindings, {"  no match", "entry 4: same name, size and CRC differ"}},
      {"unknown.exe", kExitFindings, {"  no match\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const CtlResult r = Ctl({"test", box, file(c.file)});
    EXPECT_EQ(r.rc, c.rc) << r.out << r.err;
    for (const std::string& l : c.lines) EXPECT_NE(r.out.find(l), std::string::npos) << r.out;
  }
  // BlockList holds none of them; a missing file is exit 2.
  ASSERT_EQ(
      Ctl({"import", box + ":BlockList", WriteText(dir, "e", ""), "--allow-empty", "--new-stream"})
          .rc,
      kExitOk);
  EXPECT_EQ(Ctl({"test", box + ":BlockList", file("listed.exe")}).rc, kExitFindings);
  EXPECT_EQ(Ctl({"test", box, file("listed.exe"), Arg(dir, "nope")}).rc, kExitFailure);
  const CtlResult j = Ctl({"test", "--json", box, file("listed.exe"), file("changed.exe")});
  const nlohmann::json doc = nlohmann::json::parse(j.out);
  ASSERT_EQ(doc["files"].size(), 2u);
  EXPECT_EQ(doc["files"][0]["name"],
            U16ToUtf8(ctl::ProgramNameOfPath(Utf8ToU16(file("listed.exe")))));
  const uint64_t fp = ComputeFileFingerprint(dir.File("d/listed.exe").c_str());
  char hex[20];
  std::snprintf(hex, sizeof hex, "0x%016llx", static_cast<unsigned long long>(fp));
  EXPECT_EQ(doc["files"][0]["fingerprint"], hex);
  EXPECT_EQ(doc["files"][0]["matches"][0],
            (nlohmann::json{{"stream", "ProgramList"}, {"entry", 1}, {"by", "fingerprint"}}));
  EXPECT_EQ(doc["files"][1]["near"].size(), 2u);
}

TEST(CtlMerge, AppendsNewKeysAndReportsConflicts) {
  TempDir dir;
  const std::string dst = Arg(dir, "dst.mnf"), a = Arg(dir, "a.mnf"), b = Arg(dir, "b.mnf");
  const auto add = [&](const std::string& box, const char* path, const char* text) {
    ASSERT_EQ(Ctl({"add", box, "--path", path, "--text1", text}).rc, kExitOk);
  };
  struct Case {
    const char* name;
    std::vector<std::string> options;
    int rc;
    std::vector<std::string> stored;  // name=text1 in stored order
  } cases[] = {
      {"keeps dst", {}, kExitFindings, {"x.exe=dst", "y.exe=a", "z.exe=b"}},
      {"prefers src", {"--prefer", "src"}, kExitFindings, {"X.EXE=a", "y.exe=a", "z.exe=b"}},
      {"dry run", {"--dry-run"}, kExitFindings, {"x.exe=dst"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& f : {dst, a, b}) std::filesystem::remove(Utf8ToU16(f));
    add(dst, "x.exe", "dst");
    add(a, "X.EXE", "a");  // same key, other content: a conflict
    add(a, "y.exe", "a");
    add(b, "y.exe", "a");  // identical to a's: no conflict
    add(b, "z.exe", "b");
    std::vector<std::string> args = {"merge"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {dst, a, b + ":ProgramList"});
    const CtlResult r = Ctl(args);
    EXPECT_EQ(r.rc, c.rc) << r.err;
    EXPECT_NE(r.out.find("2 added, 1 conflicts, 1 identical"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("text1: dst \"dst\", src \"a\""), std::string::npos) << r.out;
    const std::vector<uint8_t> p = StreamPayload(dst, u"ProgramList");
    const ctl::PayloadView v = ctl::ParsePayload(p.data(), p.size());
    std::vector<std::string> stored;
    for (const auto& blk : v.blocks) {
      stored.push_back(U16ToUtf8(blk.decoded.name) + "=" + U16ToUtf8(*blk.decoded.text1));
    }
    EXPECT_EQ(stored, c.stored);
  }
  const CtlResult clean = Ctl({"merge", "--json", dst, dst});
  EXPECT_EQ(clean.rc, kExitOk);
  EXPECT_EQ(nlohmann::json::parse(clean.out)["identical"], 1);
  EXPECT_EQ(Ctl({"merge", dst, Arg(dir, "none.mnf")}).rc, kExitFailure);
}

TEST(CtlLint, NamesEachKindOfFinding) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "tree");
  WriteAll(dir.path() / "tree" / "tool.exe", PeImage(1, 3000));
  WriteAll(dir.path() / "old.exe", PeImage(1, 4000));
  const std::string box = Arg(dir, "c.mnf");
  std::vector<uint8_t> misnamed = HashBlock(5, 5);
  StoreU64(misnamed.data(), kPbFingerprintOffset, 0x0000000500000006ull);
  std::vector<uint8_t> rekeyed = HashBlock(7, 7);
  const uint64_t key_of_8 = LoadU64(HashBlock(8, 8).data(), kBlockKeyOffset);
  StoreU64(rekeyed.data(), kBlockKeyOffset, key_of_8);
  // Named as lint names the files of the tree (in the system's separators), by
  // the library's rule.
  const std::string tool = U16ToUtf8((dir.path() / "tree" / "tool.exe").u16string());
  ASSERT_EQ(Ctl({"add", box + ":Other", "--path", tool, "--fingerprint-file", Arg(dir, "old.exe"),
                 "--new-stream"})
                .rc,
            kExitOk);
  // A file whose program name shares the entry's key but not its name
  // (a CRC-32 collision) is not that program: no stale finding.
  WriteAll(dir.path() / "tree" / "68bea8e6c0e3f0c5.exe", PeImage(2, 3000));
  ASSERT_EQ(Ctl({"add", box + ":Keyed", "--path", "C:\\t\\773aef21242883e4.exe",
                 "--fingerprint-file", Arg(dir, "old.exe"), "--new-stream"})
                .rc,
            kExitOk);
  // The lists lint judges; an edit would refuse this container from here on.
  WriteStreams(box,
               {{u"ProgramList", Payload({HashBlock(1, 1), misnamed, HashBlock(8, 8), rekeyed})},
                {u"BlockList", Payload({HashBlock(1, 1)})}});
  const CtlResult r = Ctl({"lint", "--against", Arg(dir, "tree"), box});
  EXPECT_EQ(r.rc, kExitFindings);
  for (const char* line : {
           "conflict BlockList entry 1 \"0000000100000001.*\": same key",
           "name-mismatch ProgramList entry 2 \"0000000500000005.*\"",
           "key-mismatch ProgramList entry 4 \"0000000700000007.*\"",
           "collision ProgramList entry 4 \"0000000700000007.*\": same key",
           "unread-stream Other: the product reads only ProgramList and BlockList",
           "unread-stream Keyed: ",
       }) {
    EXPECT_NE(("\n" + r.out).find(std::string("\n") + line), std::string::npos) << line << "\n"
                                                                                << r.out;
  }
  const std::string stale =
      "stale Other entry 1 \"" + U16ToUtf8(ctl::ProgramNameOfPath(Utf8ToU16(tool))) + "\"";
  EXPECT_NE(r.out.find(stale), std::string::npos) << r.out;
  size_t lines = 0;
  for (char ch : r.out) lines += ch == '\n';
  EXPECT_EQ(lines, 7u) << r.out;  // nothing else
  // stale needs --against: only the stream itself is a finding.
  const CtlResult other = Ctl({"lint", box + ":Other"});
  EXPECT_EQ(other.rc, kExitFindings);
  EXPECT_EQ(other.out.rfind("unread-stream Other: ", 0), 0u) << other.out;
  EXPECT_EQ(other.out.find('\n'), other.out.size() - 1) << other.out;
  const std::string clean = Arg(dir, "clean.mnf");
  ASSERT_EQ(Ctl({"import", clean, WriteText(dir, "h", "1 1\n2 2\n")}).rc, kExitOk);
  const CtlResult ok = Ctl({"lint", "--json", clean});
  EXPECT_EQ(ok.rc, kExitOk);
  EXPECT_TRUE(nlohmann::json::parse(ok.out)["findings"].empty());
  EXPECT_EQ(Ctl({"lint", "--against", Arg(dir, "nodir"), clean}).rc, kExitFailure);
}

TEST(CtlCapacity, AListThatWouldNotFitFailsBeforeWriting) {
  TempDir dir;
  // 1 KiB blocks, 14 data blocks, one of them BlockList's: 13 blocks of 13312
  // bytes are left, which hold a payload of 66 entries of 200 bytes (13220).
  const std::string box = Arg(dir, "c.mnf");
  WriteStreams(box, {{u"BlockList", Payload({})}}, 1024, 16);
  const auto list = [&](int n) {
    std::string text;
    for (int i = 1; i <= n; ++i) text += std::to_string(i) + " 1\n";
    return WriteText(dir, "h" + std::to_string(n), text);
  };
  struct Case {
    int lines;
    int rc;
  } cases[] = {{66, kExitOk}, {67, kExitFailure}, {5, kExitOk}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    const std::vector<uint8_t> before = FileBytes(box);
    const CtlResult dry = Ctl({"import", "--dry-run", box, list(c.lines), "--new-stream"});
    EXPECT_EQ(dry.rc, c.rc) << dry.err;
    EXPECT_EQ(FileBytes(box), before);
    const CtlResult real = Ctl({"import", box, list(c.lines), "--new-stream"});
    EXPECT_EQ(real.rc, c.rc) << real.err;
    if (c.rc == kExitFailure) {
      EXPECT_NE(real.err.find("(66 entries of 200 bytes fit)"), std::string::npos) << real.err;
      EXPECT_EQ(FileBytes(box), before);
    }
  }
  const CtlResult dump = Ctl({"dump", box});
  EXPECT_NE(dump.out.find("blocks: 2 used, 12 free of 14 (1024 bytes each)"), std::string::npos)
      << dump.out;
  // ProgramList holds 5 entries (1020 bytes) in one block, 12 are free.
  EXPECT_NE(dump.out.find("stream \"ProgramList\": 61 more 200-byte entries fit"),
            std::string::npos)
      << dump.out;
  // A failed first import leaves no new file behind.
  const std::string fresh = Arg(dir, "fresh.mnf");
  std::string big;
  for (int i = 1; i <= 157287; ++i) big += std::to_string(i) + " 1\n";
  const CtlResult r = Ctl({"import", fresh, WriteText(dir, "big", big)});
  EXPECT_EQ(r.rc, kExitFailure);
  EXPECT_NE(r.err.find("(157286 entries of 200 bytes fit)"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(Utf8ToU16(fresh)));
}

}  // namespace
}  // namespace tl::test
