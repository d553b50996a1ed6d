// The text forms trustctl prints, its argument parsing and its command dispatch.
#include <gtest/gtest.h>

#include "args.h"
#include "container_view.h"
#include "ctl_test_util.h"
#include "format.h"
#include "trustctl.h"

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
  EXPECT_EQ(ParseStreamRef("C:\\x\\a.mnf:BlockList").container, u"C:\\x\\a.mnf");
}

TEST(CtlFormat, JsonQuoteEscapesAndKeepsUnpairedSurrogates) {
  EXPECT_EQ(JsonQuote(std::u16string_view(u"a\"b\\c\n")), "\"a\\\"b\\\\c\\u000a\"");
  EXPECT_EQ(JsonQuote(std::u16string_view(std::u16string(1, char16_t{0xDC01}))), "\"\\udc01\"");
  EXPECT_EQ(JsonQuote(std::u16string_view(u"\u00e9")), "\"\xc3\xa9\"");
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

TEST(CtlArgs, OptionsKeepTheirOrderAndValues) {
  Args a;
  std::string error;
  ASSERT_TRUE(ParseArgs({"x", "--path", "p1", "--value=3", "-r", "--path", "p2", "--", "--y"},
                        {{"--path", true}, {"--value", true}, {"-r", false}}, &a, &error));
  EXPECT_EQ(a.positional, (std::vector<std::string>{"x", "--y"}));
  ASSERT_EQ(a.options.size(), 4u);
  EXPECT_EQ(a.options[1], (std::pair<std::string, std::string>{"--value", "3"}));
  EXPECT_EQ(*a.Get("--path"), "p2");
  EXPECT_TRUE(a.Has("-r"));
  EXPECT_FALSE(a.Has("--json"));
}

TEST(CtlArgs, Rejections) {
  const std::vector<OptionSpec> spec = {{"--stream", true}, {"--dry-run", false}};
  for (const std::vector<std::string>& in : std::vector<std::vector<std::string>>{
           {"--unknown"}, {"--stream"}, {"--dry-run=yes"}, {"a", "--strea", "x"}}) {
    Args a;
    std::string error;
    EXPECT_FALSE(ParseArgs(in, spec, &a, &error)) << in[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(CtlStreamRef, SplitsAtTheStreamColonOnly) {
  struct Case {
    const char* text;
    std::u16string container;
    std::u16string stream;
  } cases[] = {
      {"a.mnf", u"a.mnf", u"ProgramList"},
      {"a.mnf:BlockList", u"a.mnf", u"BlockList"},
      {"a.mnf:", u"a.mnf", u"ProgramList"},
      {"C:\\x\\a.mnf", u"C:\\x\\a.mnf", u"ProgramList"},
      {"C:\\x\\a.mnf:BlockList", u"C:\\x\\a.mnf", u"BlockList"},
      {"C:a.mnf", u"C:a.mnf", u"ProgramList"},
      {"odd:dir/a.mnf", u"odd:dir/a.mnf", u"ProgramList"},
      {"/tmp/a.mnf:ProgramList", u"/tmp/a.mnf", u"ProgramList"},
  };
  for (const auto& c : cases) {
    const StreamRef r = ParseStreamRef(c.text);
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
  EXPECT_EQ(sub.out.rfind("usage: trustctl import", 0), 0u);
  EXPECT_EQ(Ctl({"help", "diff"}).rc, kExitOk);
  const auto bad = Ctl({"verify", "--bogus", "x"});
  EXPECT_EQ(bad.rc, kExitUsage);
  EXPECT_NE(bad.err.find("unknown option --bogus"), std::string::npos);
  EXPECT_NE(bad.err.find("usage: trustctl verify"), std::string::npos);
}

}  // namespace
}  // namespace tl::ctl
