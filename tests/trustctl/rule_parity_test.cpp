// trustctl answers every question the library has a rule for with that rule:
// the name of a program at a path, which entry a hash list line stands for,
// and how much room a new stream has. Each row holds trustctl's answer beside
// the library's over the same input, so that a copy of a rule cannot come back
// into the tool unseen.
#include <gtest/gtest.h>

#include <cstring>

#include "blocklist/program_block_decode.h"
#include "common/le.h"
#include "common/u16.h"
#include "ctl_test_util.h"
#include "entry/hash_list.h"
#include "entry/list_payload.h"
#include "entry/list_store.h"
#include "entry/program_builder.h"
#include "minifile/creation_parameters.h"
#include "minifile/minifile.h"
#include "trustctl.h"
#include "view/container_view.h"

namespace tl::test {
namespace {

using ctl::kExitOk;

// The name the library's builder stores for a description whose path is `path`.
std::u16string BuilderName(const std::u16string& path) {
  std::vector<uint8_t> record(kPdMinSize, 0);
  StoreU32(record.data(), kPdCbSizeOffset, kPdMinSize);
  for (size_t k = 0; k < path.size() && k < kPdPathUnits; ++k) {
    record[kPdPathOffset + 2 * k] = static_cast<uint8_t>(path[k]);
    record[kPdPathOffset + 2 * k + 1] = static_cast<uint8_t>(path[k] >> 8);
  }
  record[kPdValueSingleOffset] = 1;
  std::vector<uint8_t> work(kProgramWorkBytes);
  uint32_t size = 0;
  if (BuildProgramBlock(record.data(), work.data(), &size) != 1) return u"(no block)";
  DecodedProgramBlock b;
  DecodeProgramBlock(work.data(), size, &b);
  return b.name;
}

TEST(RuleParity, TheNameOfAProgramAtAPath) {
  const std::u16string long_dir(300, u'd');
  const std::u16string rows[] = {
      u"C:\\x\\app.exe",                   // a Windows path
      u"app.exe",                          // a bare name: the whole text, no "@*"
      u"/usr/bin/yes",                     // a POSIX path has no backslash: the whole text
      u"C:\\a/b\\c.exe",                   // only the last backslash counts
      u"C:\\x\\",                          // a trailing backslash: an empty file name
      u"C:\\" + long_dir + u"\\tail.exe",  // longer than the path field
  };
  TempDir dir;
  for (const std::u16string& path : rows) {
    SCOPED_TRACE(U16ToUtf8(path));
    const std::u16string library = BuilderName(path);
    // test and lint name a file so.
    EXPECT_EQ(ctl::ProgramNameOfPath(path), library);
    // add --path stores what the builder stores.
    const std::string box = Arg(dir, "n.mnf");
    std::filesystem::remove(Utf8ToU16(box));
    const CtlResult add = Ctl({"add", box, "--path", U16ToUtf8(path), "--value", "1"});
    // Longer than the field, or ending in a backslash (the name would be
    // "@*"): refused rather than stored cut or nameless.
    if (path.size() > 259 || path.back() == u'\\') {
      EXPECT_EQ(add.rc, 3);
      continue;
    }
    ASSERT_EQ(add.rc, 0) << add.err;
    const std::vector<uint8_t> payload = StreamPayload(box, u"ProgramList");
    ASSERT_GT(payload.size(), 20u);
    DecodedProgramBlock b;
    DecodeProgramBlock(payload.data() + 16, payload.size() - 16 - 4, &b);
    EXPECT_EQ(b.name, library);
  }
}

// Which entries are what a hash list line makes: lint's name check and
// export's hash-list form agree with the library's rule on each.
TEST(RuleParity, WhatAHashListLineStandsFor) {
  TempDir dir;
  const std::string setup = Arg(dir, "Setup.exe");
  WriteAll(dir.path() / "Setup.exe", PeImage(7, 1000));
  struct Row {
    const char* what;
    std::vector<std::string> add;  // after "add BOX"
    bool hash_entry;               // the library's rule
    bool misnamed;                 // named like one, after another fingerprint
  };
  const Row rows[] = {
      {"a hash pair", {"--hash", "7", "7"}, true, false},
      {"a path and the fingerprint of its file",
       {"--path", "Setup.exe", "--fingerprint-file", setup},
       false,
       false},
      {"a Windows path and a fingerprint",
       {"--path", "C:\\x\\Setup.exe", "--fingerprint-file", setup},
       false,
       false},
      {"a hash name that is not its own",
       {"--path", "0000000100000001.*", "--fingerprint-file", setup},
       false,
       true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string box = Arg(dir, "h.mnf");
    std::filesystem::remove(Utf8ToU16(box));
    std::vector<std::string> args = {"add", box};
    args.insert(args.end(), r.add.begin(), r.add.end());
    ASSERT_EQ(Ctl(args).rc, 0);
    const std::vector<uint8_t> payload = StreamPayload(box, u"ProgramList");
    DecodedProgramBlock b;
    DecodeProgramBlock(payload.data() + 16, payload.size() - 16 - 4, &b);
    EXPECT_EQ(IsHashListEntry(b), r.hash_entry);
    const CtlResult lint = Ctl({"lint", box});
    EXPECT_EQ(lint.out.find("name-mismatch") != std::string::npos, r.misnamed) << lint.out;
    const CtlResult hashlist = Ctl({"export", "--format", "hashlist", box});
    EXPECT_EQ(hashlist.rc == 0, r.hash_entry) << hashlist.err;
  }
}

// Two entries are the same when the library's writer would leave one stored
// over the other alone: diff, merge, apply and export ask that one question.
TEST(RuleParity, WhetherTwoEntriesAreTheSame) {
  struct Row {
    const char* what;
    uint32_t offset;  // of the byte flipped in the first block
    bool field;       // a field of the entry: its fields still rebuild its bytes
    bool edits;       // the flip leaves a container an edit may write into
  };
  const Row rows[] = {
      {"loadedTag", 6, false, true},          {"magic", 8, false, false},
      {"rest of the links", 12, false, true}, {"end of the links", 23, false, true},
      {"the name key", 24, false, false},     {"transient", 44, false, false},
      {"the fingerprint", 72, true, true},
  };
  TempDir dir;
  const std::string hashes = WriteText(dir, "h.txt", "1 1\n2 2\n");
  const std::string a = Arg(dir, "a.mnf");
  ASSERT_EQ(Ctl({"import", a + ":ProgramList", hashes}).rc, kExitOk);
  const std::string jsonl = Arg(dir, "a.jsonl");
  ASSERT_EQ(Ctl({"export", "-o", jsonl, a}).rc, kExitOk);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string b = Arg(dir, "b.mnf");
    std::filesystem::remove(Utf8ToU16(b));
    ASSERT_EQ(Ctl({"import", b + ":ProgramList", hashes}).rc, kExitOk);
    FlipByte(b, DataOffset(b) + 16 + r.offset, 0x10);
    const std::vector<uint8_t> pa = StreamPayload(a, u"ProgramList");
    const std::vector<uint8_t> pb = StreamPayload(b, u"ProgramList");
    const bool same = SameListPayload(pa.data(), pa.size(), pb.data(), pb.size());
    EXPECT_EQ(same, r.offset >= 12 && r.offset < 24);
    EXPECT_EQ(Ctl({"diff", a, b}).rc == kExitOk, same);
    // export gives the stored bytes whenever the fields would rebuild others.
    const CtlResult exported = Ctl({"export", b});
    EXPECT_EQ(exported.out.find("\"bytes\"") == std::string::npos, same || r.field) << exported.out;
    if (!r.edits) continue;
    const CtlResult merge = Ctl({"merge", "--dry-run", b, a});
    EXPECT_EQ(merge.out.find("0 added, 0 conflicts") != std::string::npos, same) << merge.out;
    const CtlResult check = Ctl({"apply", "--check", b, jsonl});
    EXPECT_EQ(check.rc == kExitOk, same) << check.out << check.err;
  }
}

// The room dump and verify promise a new stream is the room the writer finds.
TEST(RuleParity, TheRoomOfANewStream) {
  struct Row {
    const char* what;
    CreationParameters params;
    int streams;  // written before, one block each
  };
  const Row rows[] = {
      {"a roomy container", {20, 1024, 64, 8, 0}, 2},
      {"every directory slot taken", {20, 1024, 64, 4, 0}, 4},
      {"more directory slots than the table can feed", {20, 512, 16, 64, 0}, 13},
      {"no free block", {20, 512, 8, 8, 0}, 6},
  };
  TempDir dir;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::string box = Arg(dir, "r.mnf");
    std::filesystem::remove(Utf8ToU16(box));
    {
      ListStore store;
      ASSERT_EQ(store.Open(Utf8ToU16(box).c_str(), r.params), StoreStatus::kOk);
      const uint8_t one[20] = {48, 0, 0, 0, 4};
      for (int k = 0; k < r.streams; ++k) {
        const std::u16string name = u"S" + Utf8ToU16(std::to_string(k));
        store.Write(name.c_str(), one, sizeof one);
      }
    }
    const CtlResult dump = Ctl({"dump", "--json", box});
    const bool promised = dump.out.find("\"newStreamEntriesFit\": 0") == std::string::npos;
    ListStore store;
    ASSERT_EQ(store.Open(Utf8ToU16(box).c_str(), r.params), StoreStatus::kOk);
    const uint8_t one[20] = {48, 0, 0, 0, 4};
    std::vector<uint8_t> entry(220, 0);  // the empty payload and one 200-byte entry's room
    std::memcpy(entry.data(), one, sizeof one);
    const bool written = store.Write(u"New", entry.data(), 220) == StoreStatus::kOk;
    EXPECT_EQ(promised, written) << dump.out;
  }
}

}  // namespace
}  // namespace tl::test
