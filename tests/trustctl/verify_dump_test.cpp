// trustctl verify and dump over sound and damaged containers.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "common/le.h"
#include "common/u16.h"
#include "ctl_test_util.h"
#include "minifile/header.h"
#include "trustctl.h"

namespace tl::test {
namespace {

using ctl::kExitFailure;
using ctl::kExitFindings;
using ctl::kExitOk;

// A container with three 200-byte blocks in "ProgramList": a 620-byte payload
// in block 2 at the data offset 448.
std::string SoundContainer(const TempDir& dir) {
  const std::string list = WriteText(dir, "h.txt", "1 1\n2 2\n3 3\n");
  const std::string box = Arg(dir, "c.mnf");
  EXPECT_EQ(Ctl({"import", box, "--stream", "ProgramList", list}).rc, ctl::kExitOk);
  return box;
}

constexpr uint32_t kData = 448;  // data offset with the commit's parameters
constexpr uint32_t kFirstBlock = kData + 16;

void SetU16(const std::string& path, size_t offset, uint16_t v) {
  std::vector<uint8_t> bytes = FileBytes(path);
  StoreU16(bytes.data(), offset, v);
  WriteAll(std::filesystem::path(Utf8ToU16(path)), bytes);
}

void Truncate(const std::string& path, size_t size) {
  std::vector<uint8_t> bytes = FileBytes(path);
  bytes.resize(size);
  WriteAll(std::filesystem::path(Utf8ToU16(path)), bytes);
}

struct Damage {
  const char* name;
  std::function<void(const std::string&)> apply;
  const char* expected;  // in the output
  bool stops_edit;       // else an edit keeps the damaged block as it is
};

constexpr bool kStops = true, kKept = false;

// verify names every defect; an edit goes on past the odd content of one block
// (keeping that block byte for byte, and verify still names it) and stops at
// everything else, changing nothing.
TEST(CtlVerify, NamesEachDefect) {
  const Damage cases[] = {
      {"header check", [](const std::string& p) { FlipByte(p, kHeaderTextOffset, 1); },
       "header-crc", kStops},
      {"chain loop", [](const std::string& p) { SetU16(p, kTableOffset + 2 * 2, 2); },
       "chain-loop entry 0 \"ProgramList\"", kStops},
      {"link out of range", [](const std::string& p) { SetU16(p, kTableOffset + 2 * 2, 40); },
       "link-out-of-range", kStops},
      {"orphaned block", [](const std::string& p) { SetU16(p, kTableOffset + 2 * 5, 0xFFFF); },
       "block-orphaned block 5", kStops},
      {"truncated file", [](const std::string& p) { Truncate(p, kData + 100); }, "block-past-end",
       kStops},
      {"payload tag", [](const std::string& p) { FlipByte(p, kData + 0, 1); },
       "payload entry 0 \"ProgramList\" at payload offset 0: header tag is 49, not 48", kStops},
      {"block count", [](const std::string& p) { FlipByte(p, kData + 2, 4); },
       "block count 7 disagrees with the 3 blocks found", kStops},
      {"blocks size", [](const std::string& p) { FlipByte(p, kData + 4, 8); },
       "blocks size 596 disagrees with the 604 bytes after the header", kStops},
      {"block pool offset", [](const std::string& p) { FlipByte(p, kFirstBlock + 52, 2); },
       "block entry 0 \"ProgramList\" program block 1 at payload offset 16: poolOffset", kKept},
      {"block magic", [](const std::string& p) { FlipByte(p, kFirstBlock + 200 + 8, 1); },
       "program block 2 at payload offset 224: block magic is 0x5a65564a", kStops},
      {"block key", [](const std::string& p) { FlipByte(p, kFirstBlock + 24, 1); },
       "is not the name key", kKept},
      {"block flags", [](const std::string& p) { FlipByte(p, kFirstBlock + 49, 1); },
       "unknown flag bits", kKept},
      {"block reserved bytes", [](const std::string& p) { FlipByte(p, kFirstBlock + 36, 1); },
       "reserved bytes or trailer not zero", kKept},
      {"block transient field", [](const std::string& p) { FlipByte(p, kFirstBlock + 44, 1); },
       "transient field is not zero", kStops},
      {"two blocks with one key",
       [](const std::string& p) {
         // Block 2's key made block 1's: the stored bytes are the payload's
         // XOR a key stream, so flipping the bits that differ copies the key.
         const std::vector<uint8_t> payload = StreamPayload(p, u"ProgramList");
         for (size_t i = 0; i < 8; ++i) {
           FlipByte(p, kFirstBlock + 200 + 24 + i, payload[16 + 24 + i] ^ payload[216 + 24 + i]);
         }
       },
       "same key as block 1", kStops},
      {"block size", [](const std::string& p) { FlipByte(p, kFirstBlock + 400, 0x80); },
       "program block 3", kStops},
      {"terminator", [](const std::string& p) { FlipByte(p, kData + 616, 1); },
       "block size 1 ends the walk", kStops},
      {"empty file", [](const std::string& p) { Truncate(p, 0); }, "header-short", kStops},
  };
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.name);
    TempDir dir;
    const std::string box = SoundContainer(dir);
    d.apply(box);
    const CtlResult r = Ctl({"verify", box});
    EXPECT_EQ(r.rc, kExitFindings);
    EXPECT_NE(r.out.find(d.expected), std::string::npos) << r.out;
    // One line per defect, each naming the container first.
    size_t lines = 0;
    for (size_t at = 0; (at = r.out.find('\n', at)) != std::string::npos; ++at) ++lines;
    EXPECT_GE(lines, 1u);
    EXPECT_EQ(r.out.rfind(box + ": ", 0), 0u);

    const std::vector<uint8_t> file = FileBytes(box);
    const std::vector<uint8_t> before = StreamPayload(box, u"ProgramList");
    const CtlResult add = Ctl({"add", box, "--hash", "9", "9"});
    if (d.stops_edit) {
      EXPECT_EQ(add.rc, kExitFailure) << add.out;
      EXPECT_EQ(FileBytes(box), file);
      continue;
    }
    EXPECT_EQ(add.rc, kExitOk) << add.err;
    // The three blocks as they were, the new one behind them.
    const std::vector<uint8_t> after = StreamPayload(box, u"ProgramList");
    ASSERT_EQ(after.size(), before.size() + 200);
    EXPECT_TRUE(std::equal(before.begin() + 16, before.end() - 4, after.begin() + 16));
    const CtlResult again = Ctl({"verify", box});
    EXPECT_EQ(again.rc, kExitFindings);
    EXPECT_NE(again.out.find(d.expected), std::string::npos) << again.out;
  }
}

TEST(CtlVerify, SoundUnreadableAndJson) {
  TempDir dir;
  const std::string box = SoundContainer(dir);
  const CtlResult ok = Ctl({"verify", box});
  EXPECT_EQ(ok.rc, kExitOk);
  EXPECT_EQ(ok.out.substr(0, ok.out.find('\n') + 1), box + ": ok\n");
  // The capacity: one 1 MiB block of 30 in use, 3 of 4 slots free.
  EXPECT_NE(ok.out.find("blocks: 1 used, 29 free of 30 (1048576 bytes each); directory: 3 of 4 "
                        "slots free"),
            std::string::npos)
      << ok.out;

  const CtlResult missing = Ctl({"verify", Arg(dir, "none.mnf")});
  EXPECT_EQ(missing.rc, kExitFailure);
  EXPECT_NE(missing.err.find("none.mnf: cannot open the container"), std::string::npos);

  EXPECT_NE(Ctl({"verify", "--json", box}).out.find("\"sound\": true"), std::string::npos);
  SetU16(box, kTableOffset + 2 * 2, 2);
  const CtlResult j = Ctl({"verify", "--json", box});
  EXPECT_EQ(j.rc, kExitFindings);
  EXPECT_NE(j.out.find("\"sound\": false"), std::string::npos) << j.out;
  EXPECT_NE(j.out.find("\"code\": \"chain-loop\""), std::string::npos) << j.out;
}

// A program with every attribute, and the PE file its stamp comes from.
std::string RichContainer(const TempDir& dir) {
  WriteAll(dir.path() / "app.exe", PeImage(0x5F5E1000, 5000));
  const std::string box = Arg(dir, "c.mnf");
  const CtlResult r = Ctl({"add", box, "--path", "C:\\Tools\\app.exe", "--tokens", "a;b;c;d",
                           "--text1", "first", "--text2", "second", "--text3", "third \"quoted\"",
                           "--pair", "7,9", "--file", Arg(dir, "app.exe")});
  EXPECT_EQ(r.rc, kExitOk) << r.err;
  return box;
}

TEST(CtlDump, ShowsEveryFieldOfEveryBlock) {
  TempDir dir;
  const std::string box = RichContainer(dir);
  const CtlResult r = Ctl({"dump", box});
  ASSERT_EQ(r.rc, kExitOk) << r.err;
  for (const char* want : {
           "text           \"MiniFile Library\"",
           "table entries  32",
           "block size     1048576",
           "dir entries    4",
           "(matches)",
           "[0] \"ProgramList\" present",
           "chain 2 -> end",
           "[1] free",
           "payload        ",
           "block count 1",
           "name           \"app.exe@*\"",
           "flags          0x000000fe "
           "VALUE_PAIR|TIMESTAMP|TEXT2|TEXT1|TOKENS|TEXT3|FINGERPRINT",
           "text3          \"third \\\"quoted\\\"\"",
           "tokens         \"a\" \"b\" \"c\" \"d\"\n",
           "text1          \"first\"",
           "text2          \"second\"",
           "value          7 ",
           "valueSecond    9 ",
           "linkTimeStamp  0x5f5e1000 2020-09-13T12:26:40Z",
           "fingerprint    0x00001388",
           "magic          0x5a65564b 'ZeVK'",
       }) {
    EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
  }
}

TEST(CtlDump, JsonCarriesTheSameFields) {
  TempDir dir;
  const std::string box = RichContainer(dir);
  const CtlResult r = Ctl({"dump", "--json", box, "programlist"});
  ASSERT_EQ(r.rc, kExitOk) << r.err;
  for (const char* want :
       {"\"name\": \"app.exe@*\"", "\"tokens\": [", "\"linkTime\": \"2020-09-13T12:26:40Z\"",
        "\"fileSize\": 5000", "\"blockCount\": 1", "\"chain\": [", "\"valueSecond\": 9",
        "\"text2\": \"second\"", "\"issues\": []"}) {
    EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
  }
  int depth = 0;
  bool in_string = false, escaped = false;
  for (char c : r.out) {
    if (in_string) {
      escaped = !escaped && c == '\\';
      if (c == '"' && !escaped) in_string = false;
      continue;
    }
    if (c == '"') in_string = true;
    if (c == '{' || c == '[') ++depth;
    if (c == '}' || c == ']') --depth;
    ASSERT_GE(depth, 0);
  }
  EXPECT_EQ(depth, 0);
  EXPECT_FALSE(in_string);
}

TEST(CtlDump, DamagedAndMissingInput) {
  TempDir dir;
  const std::string box = SoundContainer(dir);
  const CtlResult none = Ctl({"dump", box, "BlockList"});
  EXPECT_EQ(none.rc, kExitFailure);
  EXPECT_NE(none.err.find("no stream \"BlockList\""), std::string::npos);

  SetU16(box, kTableOffset + 2 * 2, 2);
  const CtlResult loop = Ctl({"dump", box});
  EXPECT_EQ(loop.rc, kExitOk);
  EXPECT_NE(loop.out.find("chain 2 -> loop back to 2"), std::string::npos) << loop.out;
  EXPECT_NE(loop.out.find("UNREADABLE"), std::string::npos);

  FlipByte(box, kHeaderTextOffset, 1);
  const CtlResult bad = Ctl({"dump", box});
  EXPECT_EQ(bad.rc, kExitFailure);
  EXPECT_NE(bad.out.find("UNUSABLE       header-crc"), std::string::npos) << bad.out;
  EXPECT_EQ(Ctl({"dump", Arg(dir, "none.mnf")}).rc, kExitFailure);
}

}  // namespace
}  // namespace tl::test
