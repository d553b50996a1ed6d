#include "common/u16.h"

#include <gtest/gtest.h>

#include "common/le.h"
#include "common/zalloc.h"

namespace tl {
namespace {

TEST(U16, BoundedLengthAndCopy) {
  const char16_t s[] = u"abcdef";
  EXPECT_EQ(U16Len(s, 100), 6u);
  EXPECT_EQ(U16Len(s, 4), 4u);  // no terminator within the bound
  EXPECT_EQ(U16Len(u"", 10), 0u);

  char16_t dst[5];
  EXPECT_EQ(U16Copy(dst, 5, s, 100), 4u);  // cut to the buffer, terminated
  EXPECT_EQ(std::u16string(dst), u"abcd");
  EXPECT_EQ(U16Copy(dst, 5, s, 2), 2u);  // cut at the source bound
  EXPECT_EQ(std::u16string(dst), u"ab");
  EXPECT_EQ(U16Copy(dst, 5, u"x", 100), 1u);
  EXPECT_EQ(std::u16string(dst), u"x");
}

TEST(U16, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(U16EqualFoldAscii(u"ProgramList", u"PROGRAMLIST"));
  EXPECT_FALSE(U16EqualFoldAscii(u"ProgramList", u"ProgramLis"));
  EXPECT_FALSE(U16EqualFoldAscii(u"\u00C4", u"\u00E4"));  // accented letters are not folded
  EXPECT_FALSE(U16EqualFoldAscii(u"[", u"{"));            // neighbours of the letter ranges
  EXPECT_EQ(U16FoldAscii(u'@'), u'@');
  EXPECT_EQ(U16FoldAscii(u'Z'), u'z');
}

TEST(U16, NameFormats) {
  char16_t out[264];
  EXPECT_EQ(U16FormatAtStar(out, 264, u"app.exe", 7), 9u);
  EXPECT_EQ(std::u16string(out), u"app.exe@*");
  EXPECT_EQ(U16FormatAtStar(out, 264, u"", 0), 2u);
  EXPECT_EQ(std::u16string(out), u"@*");
  EXPECT_EQ(U16FormatAtStar(out, 4, u"abc", 3), 3u);  // cut to the buffer
  EXPECT_EQ(std::u16string(out), u"abc");

  char16_t name[kHashNameLen + 1];
  U16FormatHashName(name, 0x2000, 0x1234ABCD);
  EXPECT_EQ(std::u16string(name), u"000020001234abcd.*");
  U16FormatHashName(name, 0xFFFFFFFF, 0);
  EXPECT_EQ(std::u16string(name), u"ffffffff00000000.*");
}

TEST(U16, Utf8RoundTrip) {
  const std::string text = "C:\\Programme\\\xC3\xA4pp \xF0\x9F\x98\x80.exe";
  const std::u16string wide = Utf8ToU16(text);
  EXPECT_EQ(wide, u"C:\\Programme\\\u00E4pp \U0001F600.exe");
  EXPECT_EQ(U16ToUtf8(wide), text);
  EXPECT_EQ(U16ToUtf8(u"\xD800"), "\xEF\xBF\xBD");  // a lone high surrogate
}

// Bytes that are not UTF-8 survive the way there and back, each as its own
// lone unit U+DC00 + byte; well-formed text is never taken for such a byte.
TEST(U16, PathBytesRoundTrip) {
  struct Row {
    std::string bytes;
    std::u16string wide;
  };
  const Row rows[] = {
      {"\xFF", u"\xDCFF"},  // a stray byte
      {"a\x80"
       "b",
       u"a\xDC80"
       u"b"},                                             // a lone continuation byte
      {"\xE2\x82", u"\xDCE2\xDC82"},                      // a cut sequence
      {"\xC0\x80", u"\xDCC0\xDC80"},                      // overlong NUL
      {"\xED\xB2\x80", u"\xDCED\xDCB2\xDC80"},            // an encoded U+DC80
      {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},  // above U+10FFFF
      {"caf\xE9"
       ".exe",
       u"caf\xDCE9"
       u".exe"},                            // Latin-1, as old tools write
      {"\xC3\xA9\xE9", u"\u00E9\xDCE9"},    // valid then invalid
      {"\xF0\x9F\x98\x80", u"\U0001F600"},  // a pair stays a pair
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.bytes));
    EXPECT_EQ(Utf8ToU16(r.bytes), r.wide);
    EXPECT_EQ(U16ToUtf8(Utf8ToU16(r.bytes)), r.bytes);
  }
  // Every single byte, and every pair of bytes, comes back as it was.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string two{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_EQ(U16ToUtf8(Utf8ToU16(two)), two) << a << " " << b;
    }
  }
}

TEST(LittleEndian, LoadStoreAtOffsets) {
  uint8_t buf[16] = {};
  StoreU16(buf, 1, 0xBEEF);
  StoreU32(buf, 3, 0x5A65564B);
  StoreU64(buf, 7, 0x0102030405060708ull);
  EXPECT_EQ(buf[1], 0xEF);
  EXPECT_EQ(buf[2], 0xBE);
  EXPECT_EQ(buf[3], 'K');  // 'ZeVK' stored little-endian reads "KVeZ"
  EXPECT_EQ(buf[6], 'Z');
  EXPECT_EQ(buf[7], 0x08);
  EXPECT_EQ(buf[14], 0x01);
  EXPECT_EQ(LoadU16(buf, 1), 0xBEEF);
  EXPECT_EQ(LoadU32(buf, 3), 0x5A65564Bu);
  EXPECT_EQ(LoadU64(buf, 7), 0x0102030405060708ull);
}

TEST(ZeroAlloc, ZeroedWithSpareBytesAndFailureHook) {
  auto* p = static_cast<uint8_t*>(ZeroAlloc(100));
  ASSERT_NE(p, nullptr);
  for (size_t i = 0; i < 100 + kSpareBytes; ++i) ASSERT_EQ(p[i], 0) << i;
  ZeroFree(p);

  SetAllocFailureAt(2);
  void* first = ZeroAlloc(8);
  void* second = ZeroAlloc(8);
  void* third = ZeroAlloc(8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  ZeroFree(first);
  ZeroFree(third);
  SetAllocFailureAt(0);
}

}  // namespace
}  // namespace tl
