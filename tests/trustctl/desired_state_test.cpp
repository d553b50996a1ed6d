// The writing commands as a desired state: asking for what a container already
// holds writes nothing (the file keeps its bytes and its modification time),
// apply tells "changed" from "unchanged" in its output and, with --check, in
// its exit code, and counts the changes as diff does.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "blocklist/block_header.h"
#include "common/le.h"
#include "common/u16.h"
#include "ctl_test_util.h"
#include "entry/hash_list.h"
#include "entry/list_payload.h"
#include "entry/list_store.h"
#include "minifile/creation_parameters.h"
#include "trustctl.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;
using ctl::kExitFailure;
using ctl::kExitFindings;
using ctl::kExitOk;

// The file as a later rewrite would betray it: its bytes and its modification
// time, set far into the past first so that any write moves it.
struct FileState {
  std::vector<uint8_t> bytes;
  fs::file_time_type mtime;
  bool operator==(const FileState&) const = default;
};

FileState Freeze(const std::string& path) {
  fs::last_write_time(fs::path(Utf8ToU16(path)),
                      fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
  return {FileBytes(path), fs::last_write_time(fs::path(Utf8ToU16(path)))};
}

FileState Now(const std::string& path) {
  return {FileBytes(path), fs::last_write_time(fs::path(Utf8ToU16(path)))};
}

size_t FilesIn(const TempDir& dir) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir.path()), {}));
}

nlohmann::json ApplyJson(const std::vector<std::string>& args, int want_rc) {
  const CtlResult r = Ctl(args);
  EXPECT_EQ(r.rc, want_rc) << r.err;
  return nlohmann::json::parse(r.out, nullptr, false);
}

nlohmann::json Counts(bool changed, int added, int removed, int changed_entries) {
  return {{"changed", changed},
          {"added", added},
          {"removed", removed},
          {"changed_entries", changed_entries}};
}

// Every writing command, asked for what is there, leaves the file alone.
TEST(CtlDesiredState, NothingToDoWritesNothing) {
  TempDir dir;
  WriteAll(dir.path() / "tool.exe", PeImage(0x5F5E1000, 9000));
  const std::string box = Arg(dir, "c.mnf");
  const std::string hashes = WriteText(dir, "h.txt", "2000 1234abcd\n10 20\n30 40\n");
  ASSERT_EQ(Ctl({"import", box, hashes}).rc, kExitOk);
  const std::vector<std::string> program = {"--path", "C:\\T\\app.exe", "--text1",
                                            "one",    "--file",         Arg(dir, "tool.exe")};
  std::vector<std::string> add_program = {"add", box};
  add_program.insert(add_program.end(), program.begin(), program.end());
  ASSERT_EQ(Ctl(add_program).rc, kExitOk);
  const std::string jsonl = WriteText(dir, "l.jsonl", Ctl({"export", box}).out);
  // An import replaces the whole stream: one of a container of its own.
  const std::string imported = Arg(dir, "h.mnf");
  ASSERT_EQ(Ctl({"import", imported, hashes}).rc, kExitOk);
  // A source whose entries the container holds already, byte for byte.
  const std::string same = Arg(dir, "same.mnf");
  ASSERT_EQ(Ctl({"add", same, "--hash", "10", "20"}).rc, kExitOk);

  struct Case {
    const char* what;
    std::string target;
    std::vector<std::string> args;
    int rc;
    const char* says;
  };
  const Case cases[] = {
      {"apply of the export", box, {"apply", box, jsonl}, kExitOk, "unchanged"},
      {"apply --json of the export",
       box,
       {"apply", "--json", box, jsonl},
       kExitOk,
       "\"changed\": false"},
      {"apply --check", box, {"apply", "--check", box, jsonl}, kExitOk, "unchanged"},
      {"import of the same hash list",
       imported,
       {"import", imported, hashes},
       kExitOk,
       "unchanged"},
      // The first of three entries: replacing it would move it to the end.
      {"add of a hash entry already there",
       box,
       {"add", box, "--hash", "2000", "1234abcd"},
       kExitOk,
       "unchanged"},
      {"add of a program already there", box, add_program, kExitOk, "unchanged"},
      {"remove of nothing", box, {"remove", box, "absent.exe@*"}, kExitFindings, "is unchanged"},
      {"merge with nothing new", box, {"merge", box, same}, kExitOk, "unchanged"},
  };
  const size_t files = FilesIn(dir);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const FileState before = Freeze(c.target);
    const CtlResult r = Ctl(c.args);
    EXPECT_EQ(r.rc, c.rc) << r.err;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    EXPECT_TRUE(Now(c.target) == before);
    EXPECT_EQ(FilesIn(dir), files);  // no journal, no file beside
  }
  // The same commands asking for something new do write.
  const FileState before = Freeze(box);
  const CtlResult added = Ctl({"add", box, "--hash", "50", "60"});
  EXPECT_EQ(added.rc, kExitOk) << added.err;
  EXPECT_NE(added.out.find("wrote"), std::string::npos);
  EXPECT_FALSE(Now(box) == before);
}

// apply --check and apply count as diff counts, and a second apply finds
// nothing to do.
TEST(CtlDesiredState, ApplyReportsWhatChangesAndThenNothing) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"import", box, WriteText(dir, "h.txt", "1 1\n2 2\n")}).rc, kExitOk);
  ASSERT_EQ(Ctl({"add", box, "--path", "app.exe", "--text1", "old"}).rc, kExitOk);
  // The wanted list: 1 1 kept, 2 2 removed, app.exe changed, 3 3 added.
  const std::string other = Arg(dir, "want.mnf");
  ASSERT_EQ(Ctl({"import", other, WriteText(dir, "w.txt", "1 1\n")}).rc, kExitOk);
  ASSERT_EQ(Ctl({"add", other, "--path", "app.exe", "--text1", "new", "--hash", "3", "3"}).rc,
            kExitOk);
  const std::string want = WriteText(dir, "want.jsonl", Ctl({"export", other}).out);
  const CtlResult diff = Ctl({"diff", box, other});
  EXPECT_NE(diff.out.find("1 added, 1 removed, 1 changed"), std::string::npos) << diff.out;

  const FileState before = Freeze(box);
  EXPECT_EQ(ApplyJson({"apply", "--check", "--json", box, want}, kExitFindings),
            Counts(true, 1, 1, 1));
  const CtlResult check = Ctl({"apply", "--check", box, want});
  EXPECT_EQ(check.rc, kExitFindings);
  EXPECT_NE(check.out.find("would change: "), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("1 added, 1 removed, 1 changed"), std::string::npos) << check.out;
  EXPECT_TRUE(Now(box) == before);

  const CtlResult applied = Ctl({"apply", box, want});
  EXPECT_EQ(applied.rc, kExitOk) << applied.err;
  EXPECT_EQ(applied.out.rfind("changed: ", 0), 0u) << applied.out;
  EXPECT_EQ(Ctl({"diff", box, other}).rc, kExitOk);
  const FileState after = Freeze(box);
  EXPECT_EQ(ApplyJson({"apply", "--json", box, want}, kExitOk), Counts(false, 0, 0, 0));
  EXPECT_EQ(ApplyJson({"apply", "--check", "--json", box, want}, kExitOk), Counts(false, 0, 0, 0));
  EXPECT_TRUE(Now(box) == after);

  // The same entries in another order: stored in that order, so a change
  // that no entry count shows.
  std::string lines = Ctl({"export", box}).out;
  const size_t first_end = lines.find('\n') + 1;
  const std::string reordered =
      WriteText(dir, "r.jsonl", lines.substr(first_end) + lines.substr(0, first_end));
  EXPECT_EQ(ApplyJson({"apply", "--json", box, reordered}, kExitOk), Counts(true, 0, 0, 0));
  EXPECT_EQ(ApplyJson({"apply", "--json", box, reordered}, kExitOk), Counts(false, 0, 0, 0));

  // A container that is not there yet: all of it would be added, and --check
  // does not make it.
  const std::string fresh = Arg(dir, "fresh.mnf");
  EXPECT_EQ(ApplyJson({"apply", "--check", "--json", fresh, want}, kExitFindings),
            Counts(true, 3, 0, 0));
  EXPECT_FALSE(fs::exists(fs::path(Utf8ToU16(fresh))));
  // An empty list into a stream that is absent creates it: a change too (and
  // here the container, which the document says).
  const std::string empty = WriteText(dir, "empty.jsonl", "");
  nlohmann::json made = Counts(true, 0, 0, 0);
  made["created"] = true;
  EXPECT_EQ(ApplyJson({"apply", "--allow-empty", "--json", fresh, empty}, kExitOk), made);
  EXPECT_EQ(ApplyJson({"apply", "--allow-empty", "--json", fresh, empty}, kExitOk),
            Counts(false, 0, 0, 0));
}

// Bytes 12..23 of a stored block (link pointers an older writer left there)
// are no difference: applying the export of such a list writes nothing. Any
// other byte is.
TEST(CtlDesiredState, StaleLinkBytesAreNoChangeOtherBytesAre) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  std::vector<uint8_t> payload(kPayloadHeaderBytes, 0);
  for (uint32_t i = 1; i <= 2; ++i) {
    std::vector<uint8_t> b(kHashBlockSize);
    BuildHashBlock(b.data(), i, i);
    StoreU32(b.data(), kBlockMagicOffset, kBlockMagic);
    for (uint32_t k = 0; k < kBlockLinkRestSize; ++k) b[kBlockLinkRestOffset + k] = 0xA0 + k;
    payload.insert(payload.end(), b.begin(), b.end());
  }
  payload.insert(payload.end(), 4, 0);
  StoreU16(payload.data(), kPayloadTagOffset, kPayloadTag);
  StoreU16(payload.data(), kPayloadCountOffset, 2);
  StoreU32(payload.data(), kPayloadBlocksSizeOffset, static_cast<uint32_t>(payload.size() - 16));
  {
    ListStore store;
    const std::u16string path = Utf8ToU16(box);
    ASSERT_EQ(store.Open(path.c_str(), kCommitCreationParameters), StoreStatus::kOk);
    ASSERT_EQ(store.Write(u"ProgramList", payload.data(), static_cast<uint32_t>(payload.size())),
              StoreStatus::kOk);
  }
  const CtlResult exported = Ctl({"export", box});
  ASSERT_EQ(exported.rc, kExitOk);
  EXPECT_EQ(exported.out.find("\"bytes\""), std::string::npos);  // fields rebuild them
  const std::string jsonl = WriteText(dir, "l.jsonl", exported.out);
  const FileState before = Freeze(box);
  const CtlResult r = Ctl({"apply", box, jsonl});
  EXPECT_EQ(r.rc, kExitOk) << r.err;
  EXPECT_EQ(r.out.rfind("unchanged", 0), 0u) << r.out;
  EXPECT_TRUE(Now(box) == before);
  // A value one entry does not have yet is a change.
  std::string edited = exported.out;
  edited.replace(edited.find("\"flags\":128"), 11, "\"flags\":129,\"value\":5");
  EXPECT_EQ(ApplyJson({"apply", "--json", box, WriteText(dir, "e.jsonl", edited)}, kExitOk),
            Counts(true, 0, 0, 1));
}

// --check says what the write would do, also that it would refuse: a
// container with defects is reported (exit 2), not called "would change".
TEST(CtlDesiredState, CheckRefusesWhatApplyRefuses) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"import", box, WriteText(dir, "h.txt", "1 1\n")}).rc, kExitOk);
  const std::string jsonl = WriteText(dir, "l.jsonl", "");
  FlipByte(box, 112, 0x01);  // the header's CRC
  const FileState before = Freeze(box);
  const CtlResult check = Ctl({"apply", "--check", "--allow-empty", box, jsonl});
  EXPECT_EQ(check.rc, kExitFailure);
  EXPECT_NE(check.err.find("a damaged container is not written to"), std::string::npos)
      << check.err;
  const CtlResult apply = Ctl({"apply", "--allow-empty", box, jsonl});
  EXPECT_EQ(apply.rc, kExitFailure);
  EXPECT_TRUE(Now(box) == before);
}

// A configuration engine reads why an apply failed from its JSON: each kind
// of failure, with the container left as it was.
TEST(CtlDesiredState, AFailureSaysItsKind) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"import", box, WriteText(dir, "h.txt", "1 1\n2 2\n")}).rc, kExitOk);
  const std::string exported = Arg(dir, "e.jsonl");
  ASSERT_EQ(Ctl({"export", "-o", exported, box}).rc, kExitOk);
  // A container too small for fifty entries.
  std::string fifty;
  for (int i = 1; i <= 50; ++i) fifty += std::to_string(i) + " 1\n";
  const std::string many = Arg(dir, "many.mnf"), many_jsonl = Arg(dir, "many.jsonl");
  ASSERT_EQ(Ctl({"import", many, WriteText(dir, "fifty.txt", fifty)}).rc, kExitOk);
  ASSERT_EQ(Ctl({"export", "-o", many_jsonl, many}).rc, kExitOk);
  const std::string small = Arg(dir, "small.mnf");
  {
    ListStore store;
    ASSERT_EQ(store.Open(Utf8ToU16(small).c_str(), CreationParameters{20, 128, 4, 4, 0}),
              StoreStatus::kOk);
  }
  const std::string damaged = Arg(dir, "d.mnf");
  fs::copy_file(Utf8ToU16(box), Utf8ToU16(damaged));
  FlipByte(damaged, 112, 0x01);  // the header's CRC
  struct Row {
    const char* what;
    std::vector<std::string> args;  // after "apply --json"
    const char* kind;
  };
  const Row rows[] = {
      {"a line that is no entry", {box, WriteText(dir, "bad.jsonl", "{\n")}, "input"},
      {"an input with no entry", {box, WriteText(dir, "none.jsonl", "")}, "refused"},
      {"a stream not asked for", {box + ":Other", exported}, "refused"},
      {"a damaged container", {damaged, exported}, "damaged"},
      {"a list that does not fit", {small, many_jsonl}, "no-room"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const FileState before = Freeze(r.args[0].substr(0, r.args[0].find(":Other")));
    std::vector<std::string> args = {"apply", "--json"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    const nlohmann::json j = ApplyJson(args, kExitFailure);
    EXPECT_EQ(j.value("error", ""), r.kind) << j.dump();
    EXPECT_EQ(j.value("changed", true), false);
    EXPECT_FALSE(j.value("message", "").empty());
    EXPECT_TRUE(Now(r.args[0].substr(0, r.args[0].find(":Other"))) == before);
  }
}

// POSIX has no product to tell: --no-notify is accepted, anywhere on the line,
// and the write is the same.
TEST(CtlDesiredState, NoNotifyIsAcceptedAndChangesNothingElse) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  const std::string list = WriteText(dir, "h.txt", "1 1\n");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"import", "--no-notify", box, list}, {"--no-notify", "add", box, "--hash", "2", "2"}}) {
    const CtlResult r = Ctl(args);
    EXPECT_EQ(r.rc, kExitOk) << r.err;
    EXPECT_NE(r.out.find("wrote"), std::string::npos);
  }
  EXPECT_EQ(Ctl({"export", "--format", "hashlist", box}).out,
            "00000001 00000001\n00000002 00000002\n");
}

}  // namespace
}  // namespace tl::test
