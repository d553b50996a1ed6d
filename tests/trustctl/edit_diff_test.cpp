// trustctl add, remove and diff: read-modify-write that keeps what a stream
// holds, builds programs with the library's builder, and never writes half.
#include <gtest/gtest.h>

#include "blocklist/program_block.h"
#include "common/le.h"
#include "common/u16.h"
#include "ctl_test_util.h"
#include "fingerprint/file_fingerprint.h"
#include "minifile/header.h"
#include "trustctl.h"
#include "view/payload_view.h"

namespace tl::test {
namespace {

using ctl::kExitFailure;
using ctl::kExitFindings;
using ctl::kExitOk;
using ctl::kExitUsage;

struct Stored {
  std::vector<uint8_t> payload;
  ctl::PayloadView view;
  std::vector<std::string> names;
  std::vector<uint8_t> Block(size_t i) const {
    const auto& b = view.blocks[i];
    return {payload.begin() + b.offset, payload.begin() + b.offset + b.decoded.size};
  }
};

Stored Read(const std::string& box, const std::u16string& stream = u"ProgramList") {
  Stored s;
  s.payload = StreamPayload(box, stream);
  s.view = ctl::ParsePayload(s.payload.data(), s.payload.size());
  for (const auto& b : s.view.blocks) s.names.push_back(U16ToUtf8(b.decoded.name));
  return s;
}

std::string Imported(const TempDir& dir, const std::string& lines) {
  const std::string box = Arg(dir, "c.mnf");
  EXPECT_EQ(Ctl({"import", box, "--stream", "ProgramList", WriteText(dir, "h.txt", lines)}).rc,
            kExitOk);
  return box;
}

TEST(CtlAdd, BuildsTheDescribedProgram) {
  TempDir dir;
  WriteAll(dir.path() / "tool.exe", PeImage(0x12345678, 9000));
  const std::string exe = Arg(dir, "tool.exe");
  const std::string box = Arg(dir, "c.mnf");
  const CtlResult r = Ctl({"add",
                           box,
                           "--path",
                           "C:\\Tools\\app.exe",
                           "--tokens",
                           "a;b;c;d",
                           "--pair",
                           "7,9",
                           "--timestamp-file",
                           exe,
                           "--fingerprint-file",
                           exe,
                           "--path",
                           "bare.exe",
                           "--text2",
                           "only text2",
                           "--path",
                           "D:\\dir\\x",
                           "--tokens",
                           "t"});
  ASSERT_EQ(r.rc, kExitOk) << r.err;
  const Stored s = Read(box);
  ASSERT_EQ(s.names, (std::vector<std::string>{"app.exe@*", "bare.exe", "x@*"}));
  EXPECT_TRUE(s.view.issues.empty());

  const DecodedProgramBlock& app = s.view.blocks[0].decoded;
  EXPECT_EQ(app.flags, PB_VALUE_PAIR | PB_TIMESTAMP | PB_TOKENS | PB_FINGERPRINT);
  EXPECT_EQ(app.tokens, (std::vector<std::u16string>{u"a", u"b", u"c", u"d"}));
  EXPECT_EQ(app.value, 7u);
  EXPECT_EQ(app.valueSecond, 9u);
  EXPECT_EQ(app.linkTimeStamp, 0x12345678u);
  EXPECT_EQ(app.fingerprint, ComputeFileFingerprint(dir.File("tool.exe").c_str()));
  EXPECT_EQ(app.key, ComputeNameKey(u"APP.EXE@*"));

  EXPECT_EQ(s.view.blocks[1].decoded.flags, PB_TEXT2);
  EXPECT_EQ(s.view.blocks[1].decoded.text2, std::u16string(u"only text2"));
  EXPECT_EQ(s.view.blocks[2].decoded.flags, PB_TOKENS);
  EXPECT_EQ(s.view.blocks[2].decoded.tokens, (std::vector<std::u16string>{u"t"}));
  EXPECT_NE(r.out.find("wrote stream \"ProgramList\""), std::string::npos);
  EXPECT_NE(r.out.find("3 blocks (0 kept)"), std::string::npos);
}

TEST(CtlAdd, KeepsStoredEntriesByteForByteAndReplacesByName) {
  TempDir dir;
  const std::string box = Imported(dir, "1 1\n2 2\n3 3\n");
  const Stored before = Read(box);
  ASSERT_EQ(Ctl({"add", box, "--path", "a\\Prog.exe", "--value", "1"}).rc, kExitOk);
  ASSERT_EQ(Ctl({"add", box + ":ProgramList", "--path", "b\\PROG.EXE", "--value", "2"}).rc,
            kExitOk);
  const Stored after = Read(box);
  ASSERT_EQ(after.view.blocks.size(), 4u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(after.Block(i), before.Block(i)) << i;
  // The second add has the same key (names fold A-Z): it replaced the first.
  EXPECT_EQ(after.names[3], "PROG.EXE@*");
  EXPECT_EQ(after.view.blocks[3].decoded.value, 2u);

  // Replacing a kept entry moves it to the end, as the list does.
  ASSERT_EQ(Ctl({"add", box, "--path", "0000000100000001.*", "--value", "3"}).rc, kExitOk);
  EXPECT_EQ(Read(box).names, (std::vector<std::string>{"0000000200000002.*", "0000000300000003.*",
                                                       "PROG.EXE@*", "0000000100000001.*"}));
  EXPECT_EQ(Ctl({"verify", box}).rc, kExitOk);
}

TEST(CtlAdd, RefusalsLeaveTheContainerAsItWas) {
  TempDir dir;
  const std::string box = Imported(dir, "1 1\n");
  const std::vector<uint8_t> before = FileBytes(box);
  const std::string missing = Arg(dir, "missing.exe");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int rc;
    const char* message;
  } cases[] = {
      {"no attribute", {"--path", "x.exe"}, kExitUsage, "needs at least one attribute"},
      {"only the pair's second value", {"--path", "x.exe", "--pair", "0,9"}, kExitUsage, "--pair"},
      {"value 0", {"--path", "x.exe", "--value", "0"}, kExitUsage, "--value"},
      {"attribute before --path",
       {"--value", "1", "--path", "x.exe"},
       kExitUsage,
       "--value belongs to a --path and comes before one"},
      {"five tokens", {"--path", "x.exe", "--tokens", "a;b;c;d;e"}, kExitUsage, "5 tokens"},
      {"value and pair",
       {"--path", "x.exe", "--value", "1", "--pair", "2,3"},
       kExitUsage,
       "--value and --pair"},
      {"empty name", {"--path", "", "--value", "1"}, kExitUsage, "--path is empty"},
      {"name ends in a backslash",
       {"--path", "C:\\dir\\", "--value", "1"},
       kExitUsage,
       "ends in a backslash"},
      {"hash not hex", {"--hash", "12", "xyz"}, kExitUsage, "--hash takes SIZE CRC"},
      {"hash too wide", {"--hash", "100000000", "1"}, kExitUsage, "--hash takes SIZE CRC"},
      {"text1 too long",
       {"--path", "x.exe", "--text1", std::string(64, 't')},
       kExitUsage,
       "--text1 is longer than 63 characters"},
      {"path too long",
       {"--path", std::string(260, 'p'), "--value", "1"},
       kExitUsage,
       "--path is longer than 259"},
      {"missing fingerprint file",
       {"--path", "x.exe", "--fingerprint-file", missing},
       kExitFailure,
       "missing.exe: cannot open the file for reading"},
      {"second program bad",
       {"--path", "ok.exe", "--value", "1", "--path", "bad.exe"},
       kExitUsage,
       "\"bad.exe\": a program needs"},
      {"stream name too long", {"--path", "x.exe", "--value", "1"}, kExitUsage, "1 to 16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"add", box};
    if (std::string(c.name) == "stream name too long") args[1] += ":ABCDEFGHIJKLMNOPQ";
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CtlResult r = Ctl(args);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(FileBytes(box), before);
  }
}

TEST(CtlEdit, DamagedInputIsNeverRewritten) {
  TempDir dir;
  const std::string box = Imported(dir, "1 1\n2 2\n");
  // A block whose size runs past the payload: nothing behind it can be found.
  FlipByte(box, DataOffset(box) + 16 + 1, 0x80);
  const std::vector<uint8_t> before = FileBytes(box);
  const CtlResult add = Ctl({"add", box, "--path", "x.exe", "--value", "1"});
  EXPECT_EQ(add.rc, kExitFailure);
  EXPECT_NE(add.err.find("program block 1 at payload offset 16"), std::string::npos) << add.err;
  const CtlResult rm = Ctl({"remove", box, "0000000200000002.*"});
  EXPECT_EQ(rm.rc, kExitFailure);
  EXPECT_EQ(FileBytes(box), before);

  // A looping chain: the container itself is refused.
  std::vector<uint8_t> bytes = FileBytes(box);
  StoreU16(bytes.data(), kTableOffset + 4, 2);
  WriteAll(std::filesystem::path(Utf8ToU16(box)), bytes);
  const CtlResult loop = Ctl({"add", box + ":BlockList", "--path", "x.exe", "--value", "1"});
  EXPECT_EQ(loop.rc, kExitFailure);
  EXPECT_NE(loop.err.find("chain-loop"), std::string::npos) << loop.err;
  EXPECT_EQ(FileBytes(box), bytes);
}

TEST(CtlRemove, ByNameKeyWithReport) {
  TempDir dir;
  const std::string box = Imported(dir, "1 1\n2 2\n3 3\n");
  const Stored before = Read(box);

  const CtlResult r = Ctl({"remove", box, "0000000200000002.*", "nothere.exe"});
  EXPECT_EQ(r.rc, kExitFindings);
  EXPECT_NE(r.out.find("removed \"0000000200000002.*\""), std::string::npos);
  EXPECT_NE(r.out.find("not present: \"nothere.exe\""), std::string::npos);
  Stored after = Read(box);
  ASSERT_EQ(after.names, (std::vector<std::string>{"0000000100000001.*", "0000000300000003.*"}));
  EXPECT_EQ(after.Block(1), before.Block(2));

  const std::vector<uint8_t> unchanged = FileBytes(box);
  const CtlResult none = Ctl({"remove", box, "nothere.exe"});
  EXPECT_EQ(none.rc, kExitFindings);
  EXPECT_NE(none.out.find("is unchanged"), std::string::npos);
  EXPECT_EQ(FileBytes(box), unchanged);

  // Upper case A-Z folds onto the stored lower-case names; removing all
  // leaves the empty 20-byte payload, when asked for.
  EXPECT_EQ(Ctl({"remove", box, "0000000100000001.*", "0000000300000003.*", "--allow-empty"}).rc,
            kExitOk);
  EXPECT_EQ(StreamPayload(box, u"ProgramList").size(), 20u);

  EXPECT_EQ(Ctl({"remove", box + ":BlockList", "x"}).rc, kExitFailure);  // no such stream
  EXPECT_EQ(Ctl({"remove", box}).rc, kExitUsage);
}

TEST(CtlRemove, FoldsOnlyAsciiLetters) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"add", box, "--path", "\xc3\xa9t\xc3\xa9.exe", "--value", "1", "--path",
                 "Mixed.EXE", "--value", "2"})
                .rc,
            kExitOk);
  EXPECT_EQ(Ctl({"remove", box, "\xc3\x89T\xc3\x89.EXE"}).rc, kExitFindings);  // É is not folded
  EXPECT_EQ(Ctl({"remove", box, "mixed.exe"}).rc, kExitOk);
  EXPECT_EQ(Read(box).names, (std::vector<std::string>{"\xc3\xa9t\xc3\xa9.exe"}));
}

TEST(CtlDiff, AddedRemovedChangedByKey) {
  TempDir dir;
  const std::string a = Imported(dir, "1 1\n2 2\n3 3\n");
  ASSERT_EQ(Ctl({"add", a, "--path", "x.exe", "--text1", "old"}).rc, kExitOk);
  const std::string b = Arg(dir, "b.mnf");
  std::filesystem::copy_file(std::filesystem::path(Utf8ToU16(a)),
                             std::filesystem::path(Utf8ToU16(b)));
  ASSERT_EQ(Ctl({"remove", b, "0000000200000002.*"}).rc, kExitOk);
  ASSERT_EQ(
      Ctl({"add", b, "--path", "X.EXE", "--text1", "new", "--path", "y.exe", "--value", "4"}).rc,
      kExitOk);

  const CtlResult same = Ctl({"diff", a, a + ":ProgramList"});
  EXPECT_EQ(same.rc, kExitOk);
  EXPECT_EQ(same.out, "0 added, 0 removed, 0 changed, 4 unchanged\n");

  const CtlResult d = Ctl({"diff", a, b});
  EXPECT_EQ(d.rc, kExitFindings);
  EXPECT_NE(d.out.find("- \"0000000200000002.*\""), std::string::npos) << d.out;
  EXPECT_NE(d.out.find("+ \"y.exe\""), std::string::npos);
  EXPECT_NE(d.out.find("~ \"x.exe\""), std::string::npos);
  EXPECT_NE(d.out.find("name: \"x.exe\" -> \"X.EXE\""), std::string::npos);
  EXPECT_NE(d.out.find("text1: \"old\" -> \"new\""), std::string::npos);
  EXPECT_NE(d.out.find("1 added, 1 removed, 1 changed, 2 unchanged"), std::string::npos);

  const CtlResult j = Ctl({"diff", "--json", a, b});
  EXPECT_EQ(j.rc, kExitFindings);
  EXPECT_NE(j.out.find("\"field\": \"text1\""), std::string::npos) << j.out;
  EXPECT_NE(j.out.find("\"unchanged\": 2"), std::string::npos);
}

TEST(CtlDiff, ReorderIsNoChangeButAnyStoredByteIs) {
  TempDir dir;
  const std::string a = Imported(dir, "1 1\n2 2\n");
  const std::string b = Arg(dir, "b.mnf");
  ASSERT_EQ(Ctl({"import", b, "--stream", "ProgramList", WriteText(dir, "r.txt", "2 2\n1 1\n")}).rc,
            kExitOk);
  EXPECT_EQ(Ctl({"diff", a, b}).rc, kExitOk);
  // loadedTag (bytes 6..7) is stored and read like any other byte: a writer
  // would replace it, so diff names it.
  FlipByte(b, DataOffset(b) + 16 + 6, 0x42);
  const CtlResult tag = Ctl({"diff", a, b});
  EXPECT_EQ(tag.rc, kExitFindings);
  EXPECT_NE(tag.out.find("other bytes"), std::string::npos) << tag.out;
  FlipByte(b, DataOffset(b) + 16 + 6, 0x42);
  FlipByte(b, DataOffset(b) + 16 + 72, 1);  // the fingerprint
  const CtlResult d = Ctl({"diff", a, b});
  EXPECT_EQ(d.rc, kExitFindings);
  EXPECT_NE(d.out.find("fingerprint: 0x0000000200000002 -> 0x0000000200000003"), std::string::npos)
      << d.out;
}

TEST(CtlDiff, ADamagedListEqualsItself) {
  TempDir dir;
  const std::string a = Imported(dir, "1 1\n2 2\n");
  FlipByte(a, DataOffset(a) + 16 + 2, 1);  // the first block claims 64 KiB more than there is
  const CtlResult r = Ctl({"diff", a, a});
  EXPECT_EQ(r.rc, kExitOk) << r.out;
  EXPECT_NE(r.err.find("payload issue(s)"), std::string::npos);
  EXPECT_NE(r.out.find("1 unchanged"), std::string::npos) << r.out;
}

TEST(CtlDiff, UnreadableSides) {
  TempDir dir;
  const std::string a = Imported(dir, "1 1\n");
  const CtlResult r = Ctl({"diff", a, a + ":BlockList"});
  EXPECT_EQ(r.rc, kExitFailure);
  EXPECT_NE(r.err.find("no stream \"BlockList\""), std::string::npos);
  EXPECT_EQ(Ctl({"diff", a, Arg(dir, "none.mnf")}).rc, kExitFailure);
  EXPECT_EQ(Ctl({"diff", a}).rc, kExitUsage);
}

}  // namespace
}  // namespace tl::test
