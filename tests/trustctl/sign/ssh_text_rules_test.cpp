// The small reading rules the signature texts share with OpenSSH: its base64,
// its patterns and its times, each as a table of texts and what they read as.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "sign/base64.h"
#include "sign/ssh_pattern.h"
#include "sign/ssh_time.h"

namespace tl::ctl::sign {
namespace {

TEST(SshBase64, ReadsAsOpenSshReadsIt) {
  struct Case {
    std::string text;
    std::optional<std::string> bytes;  // nullopt: refused
  };
  const Case cases[] = {
      {"", ""},
      {" \r\n\t\v\f", ""},
      {"YWJj", "abc"},
      {"YW\nJ j\r\n", "abc"},
      {"YWI=", "ab"},
      {"YQ==", "a"},
      {"YQ= =\n", "a"},       // blanks between the pads
      {"YWI", std::nullopt},  // a cut group needs its padding
      {"YQ=", std::nullopt},  // one pad of two
      {"Y===", std::nullopt},
      {"====", std::nullopt},
      {"YQ==YWJj", std::nullopt},  // nothing may follow the padding
      {"YR==", std::nullopt},      // bits past the last byte must be zero
      {"YWJ=", std::nullopt},
      {"YW!j", std::nullopt},
      {std::string("YWJj\0", 5), std::nullopt},
      {"-_8=", std::nullopt},  // URL-safe letters are not base64 here
      {"+/8=", "\xfb\xff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto got = DecodeSshBase64(c.text);
    ASSERT_EQ(got.has_value(), c.bytes.has_value());
    if (got) {
      EXPECT_EQ(std::string(got->begin(), got->end()), *c.bytes);
    }
  }
}

TEST(SshPattern, MatchesAsOpenSshMatches) {
  struct Case {
    const char* text;
    std::string list;
    ListMatch want;
  };
  const Case cases[] = {
      {"trustlist", "trustlist", ListMatch::kMatched},
      {"trustlist", "Trustlist", ListMatch::kNone},
      {"trustlist", "git,trust*", ListMatch::kMatched},
      {"trustlist", "trust?ist", ListMatch::kMatched},
      {"trustlist", "trust?list", ListMatch::kNone},
      {"trustlist", "*list*", ListMatch::kMatched},
      {"trustlist", "**", ListMatch::kMatched},
      {"", "*", ListMatch::kMatched},
      {"", ",", ListMatch::kMatched},  // an empty pattern matches the empty text
      {"", "", ListMatch::kNone},      // an empty list matches nothing
      {"x", "", ListMatch::kNone},
      {"trustlist", "*,!trustlist", ListMatch::kRefused},
      {"trustlist", "!trust*,trustlist", ListMatch::kRefused},
      {"trustlist", "!git", ListMatch::kNone},
      {"a@example.com", "*@example.com,!mallory@example.com", ListMatch::kMatched},
      {"mallory@example.com", "*@example.com,!mallory@example.com", ListMatch::kRefused},
      {"*@example.com", "*@example.com", ListMatch::kMatched},  // a pattern matches itself
      {"trustlist", ",trustlist,", ListMatch::kMatched},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*c", ListMatch::kNone},
      // Patterns of 1023 characters or more end the list with no match.
      {"trustlist", "trustlist," + std::string(1023, '*'), ListMatch::kNone},
      {"trustlist", "trustlist," + std::string(1022, '*'), ListMatch::kMatched},
      {"trustlist", std::string(1022, '*') + ",!trustlist", ListMatch::kRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " ~ " + c.list.substr(0, 60));
    EXPECT_EQ(MatchPatternList(c.text, c.list), c.want);
  }
}

TEST(SshPattern, LongTextsAndStarsTakeBoundedTime) {
  // A backtracking matcher takes exponential time here; this one returns at once.
  const std::string text(4000, 'a');
  std::string pattern;
  for (int i = 0; i < 500; ++i) pattern += "*a";
  EXPECT_TRUE(MatchPattern(text, pattern));
  EXPECT_FALSE(MatchPattern(text, pattern + "b"));
}

TEST(SshTime, ReadsTheFormsSshKeygenReads) {
  struct Case {
    const char* text;
    std::optional<int64_t> utc;  // nullopt: refused
  };
  const Case cases[] = {
      {"20270101Z", 1798761600},
      {"20270101z", 1798761600},
      {"20270101UTC", 1798761600},
      {"20270101utc", 1798761600},
      {"202701011230Z", 1798761600 + 12 * 3600 + 30 * 60},
      {"20270101123045Z", 1798761600 + 12 * 3600 + 30 * 60 + 45},
      {"20270101235961Z", 1798761600 + 86400 + 1},  // a 61st second runs on
      {"20270231Z", 1804032000},                    // 2027-03-03
      {"19700101000001Z", 1},
      {"99991231235959Z", 253402300799},
      {"19700101Z", std::nullopt},  // not after 1970-01-01 00:00:00
      {"19691231Z", std::nullopt},
      {"20270101235962Z", std::nullopt},
      {"20271301Z", std::nullopt},
      {"20270001Z", std::nullopt},
      {"20270100Z", std::nullopt},
      {"20270132Z", std::nullopt},
      {"20270101240000Z", std::nullopt},
      {"20270101126000Z", std::nullopt},
      {"2027010112Z", std::nullopt},  // 10 digits: no such form
      {"2027-01-01", std::nullopt},
      {"2027010aZ", std::nullopt},
      {"20270101ZZ", std::nullopt},
      {"Z", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseSshTime(c.text), c.utc);
  }
}

TEST(SshTime, WithoutZoneIsTheMachinesLocalTime) {
  // Whatever the zone, local and UTC readings of a date differ by less than a day.
  const auto local = ParseSshTime("20300615");
  ASSERT_TRUE(local.has_value());
  const int64_t utc = *ParseSshTime("20300615Z");
  EXPECT_LT(*local - utc, 86400);
  EXPECT_LT(utc - *local, 86400);
}

TEST(SshTime, FormatsInUtc) {
  EXPECT_EQ(FormatUtc(1798761600), "2027-01-01 00:00:00 UTC");
  EXPECT_EQ(FormatUtc(1798761600 + 13 * 3600 + 5 * 60 + 9), "2027-01-01 13:05:09 UTC");
  EXPECT_EQ(FormatUtc(951782400), "2000-02-29 00:00:00 UTC");
  EXPECT_EQ(FormatUtc(253402300799), "9999-12-31 23:59:59 UTC");
}

}  // namespace
}  // namespace tl::ctl::sign
