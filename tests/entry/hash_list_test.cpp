#include "entry/hash_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "blocklist/program_block.h"
#include "blocklist/program_block_decode.h"
#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/zalloc.h"
#include "entry/list_payload.h"
#include "entry/payload_builder.h"
#include "fingerprint/reference_crc32.h"
#include "platform/fault_hook.h"
#include "platform/file.h"
#include "support/list_import.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::ImportHashListInto;

using S = HashLineStatus;

TEST(HashList, HexTokens) {
  const struct {
    std::string token;
    bool ok;
    uint32_t value;
  } cases[] = {
      {"2000", true, 0x2000},
      {"0x2000", true, 0x2000},
      {"0X1234ABCD", true, 0x1234ABCD},
      {"\t\v1f", true, 0x1f},
      {"1234abcdz", true, 0x1234abcd},  // digits up to the first other character
      {"ffffffff", true, 0xFFFFFFFF},
      {"0000000000000001", true, 1},  // leading zeros do not count against 32 bits
      {"0", true, 0},
      {"00x1", true, 0},  // the prefix only counts in front
      {"0x0", true, 0},
      {"100000000", false, 0},
      {"0x", false, 0},
      {"0xg", false, 0},
      {"g12", false, 0},
      {"", false, 0},
      {"\t", false, 0},
      {"-1", false, 0},
      {"+1", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t v = 0xDEAD;
    EXPECT_EQ(ParseHexToken(c.token.data(), c.token.size(), &v), c.ok) << c.token;
    EXPECT_EQ(v, c.ok ? c.value : 0xDEAD) << c.token;
  }
}

TEST(HashList, LineRules) {
  const struct {
    std::string line;
    bool lf;
    S status;
    uint32_t size, crc;
  } cases[] = {
      {"2000 1234abcd", true, S::kUsed, 0x2000, 0x1234abcd},
      {"0x2000 0X1234ABCD", true, S::kUsed, 0x2000, 0x1234abcd},
      {"   2000    1234abcd  third and more", true, S::kUsed, 0x2000, 0x1234abcd},
      {"1 2", true, S::kUsed, 1, 2},
      {"1 2", false, S::kTooShort, 0, 0},
      {"12", true, S::kTooShort, 0, 0},
      {"", true, S::kTooShort, 0, 0},
      {"2000\t1234abcd", true, S::kMissingToken, 0, 0},
      {"     ", true, S::kMissingToken, 0, 0},
      {"zz 12", true, S::kNotANumber, 0, 0},
      {"12 zz", true, S::kNotANumber, 0, 0},
      {"123456789 1", true, S::kNotANumber, 0, 0},
      {"1 2\t3", true, S::kUsed, 1, 2},
  };
  for (const auto& c : cases) {
    uint32_t size = 0, crc = 0;
    EXPECT_EQ(ParseHashLine(c.line.data(), c.line.size(), c.lf, &size, &crc), c.status) << c.line;
    if (c.status == S::kUsed) {
      EXPECT_EQ(size, c.size) << c.line;
      EXPECT_EQ(crc, c.crc) << c.line;
    }
    EXPECT_STRNE(HashLineStatusText(c.status), "");
  }
}

struct Seen {
  uint32_t number = 0;
  S status = S::kTooShort;
  bool cut = false;
  uint32_t size = 0, crc = 0;
  bool nul = false;
  bool operator==(const Seen&) const = default;
};

class Collector final : public HashListSink {
 public:
  void OnLine(const HashListLine& line) override {
    seen.push_back({line.number, line.status, line.cut, line.file_size, line.crc, line.nul});
    if (line.status == S::kUsed) {
      EXPECT_EQ(line.block_size, kHashBlockSize);
      blocks.emplace_back(line.block, line.block + line.block_size);
    } else {
      EXPECT_EQ(line.block, nullptr);
    }
  }
  std::vector<Seen> seen;
  std::vector<std::vector<uint8_t>> blocks;
};

// Feeds the text whole and one byte at a time; both must see the same lines.
std::vector<Seen> Lines(const std::string& text) {
  Collector whole, bytewise;
  HashListParser a(whole), b(bytewise);
  a.Feed(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  a.Finish();
  for (char c : text) b.Feed(reinterpret_cast<const uint8_t*>(&c), 1);
  b.Finish();
  EXPECT_EQ(whole.seen, bytewise.seen);
  return whole.seen;
}

TEST(HashList, SplittingIntoLines) {
  using std::string_literals::operator""s;
  const std::string long_rest = std::string(kHashLineMaxChars - 4, 'g') + " 1 2 3 4 5 6\n";
  const struct {
    const char* what;
    std::string text;
    std::vector<Seen> lines;
  } cases[] = {
      {"one line", "2000 1234abcd\n", {{1, S::kUsed, false, 0x2000, 0x1234abcd}}},
      {"CR LF", "1 2\r\n", {{1, S::kUsed, false, 1, 2}}},
      {"CR at the end", "1 2\r", {{1, S::kUsed, false, 1, 2}}},
      {"no final LF", "1 2\n3 4", {{1, S::kUsed, false, 1, 2}, {2, S::kTooShort, false, 0, 0}}},
      {"empty lines",
       "\n\n5 6\n",
       {{1, S::kTooShort}, {2, S::kTooShort}, {3, S::kUsed, false, 5, 6}}},
      {"NUL ends the text", "12 34\0junk\n"s, {{1, S::kUsed, false, 0x12, 0x34, true}}},
      {"NUL hides the LF", "1 2\0\n"s, {{1, S::kTooShort, false, 0, 0, true}}},
      {"NUL first", "\0 1 2 3 4\n"s, {{1, S::kTooShort, false, 0, 0, true}}},
      {"empty file", "", {}},
      {"exactly the longest line",
       "7 8" + std::string(kHashLineMaxChars - 3, ' ') + "\n9 a\n",
       {{1, S::kUsed, false, 7, 8}, {2, S::kUsed, false, 9, 0xa}}},
      {"over-long line is one line",
       "5 6" + long_rest + "7 8\n",
       {{1, S::kUsed, true, 5, 6}, {2, S::kUsed, false, 7, 8}}},
      {"over-long line without LF", std::string(20000, 'g'), {{1, S::kMissingToken, true}}},
  };
  for (const auto& c : cases) EXPECT_EQ(Lines(c.text), c.lines) << c.what;
}

// The lines of `text` fed in two pieces split at `at`.
std::vector<Seen> LinesSplitAt(const std::string& text, size_t at) {
  Collector sink;
  HashListParser parser(sink);
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  parser.Feed(bytes, at);
  parser.Feed(bytes + at, text.size() - at);
  parser.Finish();
  return sink.seen;
}

// LF, CR LF and a lone CR each end one line, wherever the pieces the bytes
// come in are cut: every case is fed whole, a byte at a time and split at
// every offset (so a CR LF cut between two pieces is met at every place).
TEST(HashList, LineEnds) {
  using std::string_literals::operator""s;
  const Seen a{1, S::kUsed, false, 1, 1}, b{2, S::kUsed, false, 2, 2}, c{3, S::kUsed, false, 3, 3};
  const struct {
    const char* what;
    std::string text;
    std::vector<Seen> lines;
  } cases[] = {
      {"LF", "1 1\n2 2\n3 3\n", {a, b, c}},
      {"CR LF", "1 1\r\n2 2\r\n3 3\r\n", {a, b, c}},
      {"CR", "1 1\r2 2\r3 3\r", {a, b, c}},
      {"mixed", "1 1\n2 2\r\n3 3\r", {a, b, c}},
      {"no final line end", "1 1\r2 2\r3 33", {a, b, {3, S::kUsed, false, 3, 0x33}}},
      {"trailing CR counts as the line end", "1 1\r", {a}},
      {"CR is one character of a short line",
       "12\r1 1\r",
       {{1, S::kTooShort}, {2, S::kUsed, false, 1, 1}}},
      {"CR CR is an empty line",
       "1 1\r\r2 2\r",
       {a, {2, S::kTooShort}, {3, S::kUsed, false, 2, 2}}},
      {"LF CR is an empty line",
       "1 1\n\r2 2\n",
       {a, {2, S::kTooShort}, {3, S::kUsed, false, 2, 2}}},
      {"CR LF CR LF is one empty line",
       "1 1\r\n\r\n2 2\r\n",
       {a, {2, S::kTooShort}, {3, S::kUsed, false, 2, 2}}},
      {"CR ends a token", "a\rb 1\n", {{1, S::kTooShort}, {2, S::kUsed, false, 0xb, 1}}},
      {"NUL hides the CR",
       "1 2\0\r3 3\r"s,
       {{1, S::kTooShort, false, 0, 0, true}, {2, S::kUsed, false, 3, 3}}},
      {"over-long line ended by CR LF",
       "5 6" + std::string(kHashLineMaxChars, 'g') + "\r\n7 8\r",
       {{1, S::kUsed, true, 5, 6}, {2, S::kUsed, false, 7, 8}}},
      {"over-long line ended by CR",
       "5 6" + std::string(kHashLineMaxChars, 'g') + "\r7 8\r",
       {{1, S::kUsed, true, 5, 6}, {2, S::kUsed, false, 7, 8}}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(Lines(k.text), k.lines);
    // The over-long lines are long: a few cuts around their ends suffice.
    const bool long_text = k.text.size() > 64;
    for (size_t at = 0; at <= k.text.size(); ++at) {
      if (long_text && at > 8 && at + 8 < k.text.size()) continue;
      ASSERT_EQ(LinesSplitAt(k.text, at), k.lines) << "split at " << at;
    }
  }
}

// The same rule through the reader of files, with the line end on the
// boundary of its read pieces: a CR that is the last byte of one piece and the
// LF that begins the next are one line end.
TEST(HashList, LineEndAcrossReadPieces) {
  test::TempDir dir;
  // Line 1 fills the first piece up to its last byte, which is a CR.
  static_assert(kHashListReadChunk - 1 <= kHashLineMaxChars);
  const std::string first = "1 1" + std::string(kHashListReadChunk - 4, ' ');
  const struct {
    const char* what;
    std::string rest;  // what follows the CR, from the second piece on
    uint32_t lines, used;
  } cases[] = {
      {"CR | LF", "\n2 2\n", 2, 2},
      {"CR | line", "2 2\r", 2, 2},
      {"CR | CR", "\r2 2\r", 3, 2},
      {"CR | end of file", "", 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = first + "\r" + c.rest;
    ASSERT_EQ(text[kHashListReadChunk - 1], '\r');
    test::WriteAll(dir.path() / "l.txt", std::vector<uint8_t>(text.begin(), text.end()));
    CVarBlockList list;
    HashListStats stats;
    ASSERT_TRUE(ImportHashListInto(list, dir.File("l.txt").c_str(), &stats));
    EXPECT_EQ(stats.lines, c.lines);
    EXPECT_EQ(stats.used, c.used);
    EXPECT_EQ(stats.skipped, c.lines - c.used);
  }
}

TEST(HashList, BlockOfALine) {
  Collector sink;
  HashListParser parser(sink);
  const std::string text = "2000 1234abcd\n0x2000 0X1234ABCD\n";
  parser.Feed(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  parser.Finish();
  ASSERT_EQ(sink.blocks.size(), 2u);
  EXPECT_EQ(sink.blocks[0], sink.blocks[1]);
  DecodedProgramBlock d;
  ASSERT_TRUE(DecodeProgramBlock(sink.blocks[0].data(), sink.blocks[0].size(), &d));
  EXPECT_EQ(d.defects, 0u);
  EXPECT_EQ(d.size, 200u);
  EXPECT_EQ(d.kind, 2);
  EXPECT_EQ(d.flags, PB_FINGERPRINT);
  EXPECT_EQ(d.fingerprint, 0x000020001234ABCDull);
  EXPECT_EQ(d.name, u"000020001234abcd.*");
  EXPECT_EQ(d.key, uint64_t{test::ReferenceNameKey(u"000020001234abcd.*")});
  EXPECT_TRUE(d.tokens.empty());
}

// The list's blocks in order, through its export.
std::vector<uint64_t> Fingerprints(CVarBlockList& list) {
  std::vector<uint8_t> buf(list.ExportTo(nullptr, 0) + 64);
  const uint32_t n = list.ExportTo(buf.data(), static_cast<uint32_t>(buf.size() - 64));
  std::vector<SequenceBlock> blocks;
  uint32_t defects = 0;
  EXPECT_EQ(WalkBlockSequence(buf.data(), n, &blocks, &defects), n);
  std::vector<uint64_t> out;
  for (const auto& b : blocks) out.push_back(LoadU64(buf.data() + b.offset, kPbFingerprintOffset));
  return out;
}

// The library's import of a file: one block per used line, in file order, a
// repeated pair replacing its earlier block at the end, every line counted.
TEST(HashList, ImportBuildsThePayload) {
  test::TempDir dir;
  const auto build = [&](const std::string& text, HashListStats* stats) {
    test::WriteAll(dir.path() / "l.txt", std::vector<uint8_t>(text.begin(), text.end()));
    std::unique_ptr<platform::File> file = platform::OpenFileForReading(dir.File("l.txt").c_str());
    PayloadBuilder built;
    EXPECT_TRUE(file && BuildHashListPayload(*file, built, stats));
    uint32_t size = 0, count = 0;
    uint8_t* payload = built.Finish(&size, &count);
    ParsedPayload parsed;
    EXPECT_TRUE(ParseListPayload(payload, size, &parsed));
    std::vector<uint64_t> fps;
    for (const auto& b : parsed.blocks) {
      fps.push_back(LoadU64(payload + b.offset, kPbFingerprintOffset));
    }
    EXPECT_EQ(count, fps.size());
    ZeroFree(payload);
    return fps;
  };
  HashListStats stats;
  EXPECT_EQ(build("1 2\r\n3 4\nbad line\n1 2\n", &stats),
            (std::vector<uint64_t>{0x300000004ull, 0x100000002ull}));
  EXPECT_EQ(stats.lines, 4u);
  EXPECT_EQ(stats.used, 3u);
  EXPECT_EQ(stats.skipped, 1u);
  EXPECT_EQ(stats.dropped, 0u);
  EXPECT_TRUE(build("", &stats).empty());
  EXPECT_EQ(stats.lines, 0u);
}

TEST(HashList, LargeFileAcrossReadChunks) {
  test::TempDir dir;
  std::string text;
  for (uint32_t i = 1; i <= 3000; ++i) {
    char line[40];
    std::snprintf(line, sizeof line, "%x %08x%s", i, i * 2654435761u, i % 3 ? "\n" : "\r\n");
    text += line;
  }
  test::WriteAll(dir.path() / "big.txt", std::vector<uint8_t>(text.begin(), text.end()));
  CVarBlockList list;
  HashListStats stats;
  ASSERT_TRUE(ImportHashListInto(list, dir.File("big.txt").c_str(), &stats));
  EXPECT_EQ(stats.used, 3000u);
  const auto fps = Fingerprints(list);
  ASSERT_EQ(fps.size(), 3000u);
  for (uint32_t i = 1; i <= 3000; ++i) {
    ASSERT_EQ(fps[i - 1], (uint64_t{i} << 32) | (i * 2654435761u)) << i;
  }
}

// A read that fails after the open is never taken for the end of the list:
// at every read of a list of several chunks, once or from there on, the import
// reports failure; past the last read it completes.
TEST(HashList, ReadErrorIsNotTheEndOfTheList) {
  test::TempDir dir;
  std::string text;
  for (uint32_t i = 1; i <= 5000; ++i) text += std::to_string(i) + " 1234abcd\n";
  // Read in pieces of 16 KiB: five pieces, the last one partial.
  ASSERT_GT(text.size(), 4 * 16384u);
  ASSERT_LT(text.size(), 5 * 16384u);
  test::WriteAll(dir.path() / "l.txt", std::vector<uint8_t>(text.begin(), text.end()));
  const auto path = dir.File("l.txt");
  for (bool persistent : {false, true}) {
    uint64_t n = 1;
    for (;; ++n) {
      SCOPED_TRACE(testing::Message() << "read " << n << " persistent " << persistent);
      CVarBlockList list;
      HashListStats stats;
      platform::IoFaultPlan plan{platform::IoOp::kRead, n, persistent};
      bool ok = false;
      {
        platform::IoFaultScope scope(&plan);
        ok = ImportHashListInto(list, path.c_str(), &stats);
      }
      if (plan.failed == 0) {
        EXPECT_TRUE(ok);
        EXPECT_EQ(stats.used, 5000u);
        break;
      }
      // Also when only the read that would have found the end fails.
      EXPECT_FALSE(ok);
    }
    EXPECT_EQ(n, 7u);  // five reads deliver bytes, the sixth finds the end
  }
}

}  // namespace
}  // namespace tl
