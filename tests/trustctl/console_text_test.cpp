// The console writer's conversion: UTF-8 written in any pieces reaches the
// console as the UTF-16 of the whole text, never with a character split.
#include "platform/console_text.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "common/u16.h"

namespace tl::ctl {
namespace {

TEST(ConsoleText, WholeUtf8PrefixStopsBeforeAnUnfinishedSequence) {
  struct Case {
    std::string text;
    size_t whole;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 3},
      {"a\xc3", 1},              // first byte of a 2-byte sequence
      {"a\xc3\xa9", 3},          // complete
      {"a\xe6\xbc", 1},          // 2 of 3
      {"a\xf0\x9f\x98", 1},      // 3 of 4
      {"a\xf0\x9f\x98\x80", 5},  // complete
      {"a\x80", 2},              // a stray continuation: nothing can complete it
      {"\x80\x80\x80\x80", 4},   // no lead byte in reach
      {"a\xff", 2},              // no UTF-8 lead byte at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.size());
    EXPECT_EQ(WholeUtf8Prefix(c.text), c.whole);
  }
}

// Every split of the text into two writes, each flushed, gives the same
// UTF-16, and no piece handed on holds U+FFFD (no character was cut).
TEST(ConsoleText, PiecesNeverSplitACharacter) {
  const std::string text = "caf\xc3\xa9 \xe6\xbc\xa2\xe5\xad\x97 \xf0\x9f\x98\x80 end\n";
  const std::u16string want = Utf8ToU16(text);
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    SCOPED_TRACE(cut);
    std::u16string got;
    bool replaced = false;
    {
      Utf16OutBuf buf([&](std::u16string_view piece) {
        replaced = replaced || piece.find(u'\uFFFD') != std::u16string_view::npos;
        got.append(piece);
        return true;
      });
      std::ostream out(&buf);
      out << text.substr(0, cut) << std::flush;
      for (char c : text.substr(cut)) out.put(c).flush();
      EXPECT_TRUE(out.good());
    }
    EXPECT_EQ(got, want);
    EXPECT_FALSE(replaced);
  }
}

// More than the buffer holds goes on without a flush; bytes that are no UTF-8
// and a sequence left unfinished at the end become U+FFFD; a sink that cannot
// write makes the stream fail.
TEST(ConsoleText, LongTextBadBytesAndFailingSink) {
  std::u16string got;
  size_t pieces = 0;
  {
    Utf16OutBuf buf([&](std::u16string_view piece) {
      ++pieces;
      got.append(piece);
      return true;
    });
    std::ostream out(&buf);
    out << std::string(10000, 'x');
    EXPECT_GE(pieces, 1u);  // handed on before any flush
    out << "\xff|\xc3";
  }
  EXPECT_EQ(got, std::u16string(10000, u'x') + u"\uFFFD|\uFFFD");

  Utf16OutBuf failing([](std::u16string_view) { return false; });
  std::ostream out(&failing);
  out << "text" << std::flush;
  EXPECT_TRUE(out.bad());
}

}  // namespace
}  // namespace tl::ctl
