// The text forms trustctl prints, its argument parsing and its command dispatch.
#include <gtest/gtest.h>

#include "ctl_test_util.h"
#include "io/format.h"
#include "io/text_input.h"
#include "trustctl.h"
#include "trustlist_version.h"
#include "view/container_view.h"

namespace tl::ctl {
namespace {

TEST(CtlFormat, FileTimeToUtc) {
  struct Case {
    uint64_t filetime;
    const char* text;
  } cases[] = {
      {0, "1601-01-01T00:00:00.0000000Z"},
      {116444736000000000ull, "1970-01-01T00:00:00.0000000Z"},
      // 2000-02-29 (a leap day of a century year divisible by 400) plus 1.5 s.
      {125962560015000000ull, "2000-02-29T00:00:01.5000000Z"},
      {0xFFFFFFFFFFFFFFFFull, "60056-05-28T05:36:10.9551615Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(FileTimeToUtc(c.filetime), c.text) << c.filetime;
}

TEST(CtlFormat, UnixTimeToUtc) {
  EXPECT_EQ(UnixTimeToUtc(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(UnixTimeToUtc(0x5F5E1000), "2020-09-13T12:26:40Z");
  EXPECT_EQ(UnixTimeToUtc(0xFFFFFFFF), "2106-02-07T06:28:15Z");
}

TEST(CtlFormat, PrintableKeepsOneTextOnOneLine) {
  struct Case {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"app.exe@*", "app.exe@*"},
      {u"a\nb\tc", "a\\x0ab\\x09c"},
      {u"say \"hi\" \\", "say \\\"hi\\\" \\\\"},
      {u"\u00e9\U0001F600", "\xc3\xa9\xf0\x9f\x98\x80"},
      {std::u16string(1, char16_t{0xD800}) + u"x", "\xef\xbf\xbdx"},
      {std::u16string(1, u'\0'), "\\x00"},
  };
  for (const auto& c : cases) EXPECT_EQ(Printable(std::u16string_view(c.in)), c.out);
}

TEST(CtlFormat, PathsKeepTheirBackslashes) {
  EXPECT_EQ(PrintablePath(u"C:\\dir\\a \"b\".exe\n"), "C:\\dir\\a \"b\".exe\\x0a");
  StreamRef ref;
  std::string error;
  ASSERT_TRUE(ParseStreamRef("C:\\x\\a.mnf:BlockList", &ref, &error));
  EXPECT_EQ(ref.container, u"C:\\x\\a.mnf");
}

TEST(CtlFormat, ParseU32) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t value;
  } cases[] = {
      {"0", true, 0},
      {"4294967295", true, 0xFFFFFFFF},
      {"4294967296", false, 0},
      {"0x1f", true, 0x1F},
      {"0XFFFFFFFF", true, 0xFFFFFFFF},
      {"0x100000000", false, 0},
      {"", false, 0},
      {"0x", false, 0},
      {"12a", false, 0},
      {"-1", false, 0},
      {" 1", false, 0},
      {"abc", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t v = 0;
    EXPECT_EQ(ParseU32(c.text, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

TEST(CtlStreamRef, SplitsAtTheStreamColonOnly) {
  struct Case {
    const char* text;
    std::u16string container;  // empty: refused
    std::u16string stream;
  } cases[] = {
      {"a.mnf", u"a.mnf", u"ProgramList"},
      {"a.mnf:BlockList", u"a.mnf", u"BlockList"},
      {"a.mnf:", u"", u""},
      {"a.mnf:BlockList:", u"", u""},
      {":BlockList", u"", u""},
      {"no:such:file", u"", u""},
      {"C:\\x\\a.mnf", u"C:\\x\\a.mnf", u"ProgramList"},
      {"C:\\x\\a.mnf:BlockList", u"C:\\x\\a.mnf", u"BlockList"},
      {"C:a.mnf", u"C:a.mnf", u"ProgramList"},
      {"odd:dir/a.mnf", u"odd:dir/a.mnf", u"ProgramList"},
      {"/tmp/a.mnf:ProgramList", u"/tmp/a.mnf", u"ProgramList"},
  };
  for (const auto& c : cases) {
    StreamRef r;
    std::string error;
    EXPECT_EQ(ParseStreamRef(c.text, &r, &error), !c.container.empty()) << c.text;
    if (c.container.empty()) continue;
    EXPECT_EQ(r.container, c.container) << c.text;
    EXPECT_EQ(r.stream, c.stream) << c.text;
  }
}

TEST(CtlCli, DispatchHelpAndExitCodes) {
  using test::Ctl;
  const auto help = Ctl({"--help"});
  EXPECT_EQ(help.rc, kExitOk);
  for (const char* word : {"hash", "dump", "verify", "import", "add", "remove", "diff",
                           "exit codes", "  3  the command line is wrong"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(Ctl({}).rc, kExitUsage);
  const auto unknown = Ctl({"frobnicate"});
  EXPECT_EQ(unknown.rc, kExitUsage);
  EXPECT_NE(unknown.err.find("unknown command frobnicate"), std::string::npos);
  const auto sub = Ctl({"import", "--help"});
  EXPECT_EQ(sub.rc, kExitOk);
  EXPECT_NE(sub.out.find("Usage: trustctl import"), std::string::npos) << sub.out;
  EXPECT_NE(Ctl({"help", "diff"}).out.find("Usage: trustctl diff"), std::string::npos);
  const auto bad = Ctl({"verify", "--bogus", "x"});
  EXPECT_EQ(bad.rc, kExitUsage);
  EXPECT_NE(bad.err.find("--bogus"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("see: trustctl verify --help"), std::string::npos);
  // The full help is the reference: every command's options are in it.
  for (const char* option : {"--recursive", "--dry-run", "--timestamp-file", "--json", "--hash"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  const auto version = Ctl({"--version"});
  EXPECT_EQ(version.rc, kExitOk);
  EXPECT_EQ(version.out, std::string("trustctl ") + TRUSTLIST_VERSION_STRING + "\n");
  // Wrong values and missing arguments are usage errors, as are unknown options.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"hash", "-j", "0", "x"},
                                             {"hash"},
                                             {"diff", "a"},
                                             {"import", "c.mnf"},
                                             {"add", "c.mnf", "--hash", "1"},
                                             {"dump"},
                                             {"verify", "a", "b"}}) {
    EXPECT_EQ(Ctl(args).rc, kExitUsage) << args[0] << " " << args.size();
  }
}

}  // namespace
}  // namespace tl::ctl

namespace tl::test {
namespace {

// A hash list arrives in pieces of any size: the decoded text must not depend
// on where a piece ends (inside a byte order mark, a UTF-16 unit or a pair).
TEST(CtlTextInput, DecodesTheSameWhereverAPieceEnds) {
  struct Case {
    std::string bytes;
    std::string text;
  } cases[] = {
      {"1 2\n", "1 2\n"},
      {"\xEF\xBB\xBF"
       "1 2\n",
       "1 2\n"},
      {std::string("\xFF\xFE"
                   "1\0 \0"
                   "2\0",
                   8),
       "1 2"},
      {std::string("\xFE\xFF\0"
                   "1\0 \0"
                   "2",
                   8),
       "1 2"},
      {std::string("\xFF\xFE\x3D\xD8\x00\xDE", 6), "\xF0\x9F\x98\x80"},  // a pair
      {std::string("\xFF\xFE\x3D\xD8", 4), "\xEF\xBF\xBD"},              // a cut pair
      {"\xEF\xBB", "\xEF\xBB"},                                          // not a whole mark
      {"\xFF", "\xFF"},
      {"", ""},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{1000}}) {
      SCOPED_TRACE(testing::PrintToString(c.bytes) + " in pieces of " + std::to_string(piece));
      ctl::TextDecoder d;
      std::vector<uint8_t> out;
      const auto* p = reinterpret_cast<const uint8_t*>(c.bytes.data());
      for (size_t at = 0; at < c.bytes.size(); at += piece) {
        d.Feed(p + at, std::min(piece, c.bytes.size() - at), &out);
      }
      d.Finish(&out);
      EXPECT_EQ(std::string(out.begin(), out.end()), c.text);
    }
  }
}

}  // namespace
}  // namespace tl::test
