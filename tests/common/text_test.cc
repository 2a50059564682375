#include "common/text.h"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(Text, Utf8AndUtf16RoundTrip) {
  const std::string utf8 = "A\xC3\xA9\xE6\x95\xB0\xE6\x8D\xAE\xF0\x9F\x98\x80";  // Aé数据😀
  const std::u16string utf16 = Utf8ToUtf16(utf8);
  EXPECT_EQ(utf16, (std::u16string{u'A', 0xE9, 0x6570, 0x636E, 0xD83D, 0xDE00}));
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
}

TEST(Text, InvalidSequencesBecomeReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), (std::u16string{u'a', 0xFFFD, u'b'}));
  EXPECT_EQ(Utf8ToUtf16("\xE6\x95"), (std::u16string{0xFFFD, 0xFFFD}));
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800}), "\xEF\xBF\xBD");
}

TEST(Text, ComparesIgnoringAsciiCaseOnly) {
  EXPECT_TRUE(EqualsIgnoreAsciiCase("RowList", "ROWLIST"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("Row", "Rows"));
  EXPECT_TRUE(EqualsIgnoreAsciiCase(u"Name", u"nAME"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase(u"\u00E9", u"\u00C9"));
  EXPECT_EQ(ToUpperAscii("TServerModule1.sql2OleVariant"), "TSERVERMODULE1.SQL2OLEVARIANT");
}

TEST(Text, CodePageConvertsThroughIconv) {
  CodePage gbk("GBK");
  const std::u16string text = {0x6570, 0x636E, u'x'};  // 数据x
  const std::string bytes = gbk.FromUtf16(text);
  EXPECT_EQ(bytes, "\xCA\xFD\xBE\xDD" "x");
  EXPECT_EQ(gbk.ToUtf16(bytes), text);

  CodePage latin1("ISO-8859-1");
  EXPECT_EQ(latin1.FromUtf16(std::u16string{0x6570, u'a'}), "?a");
}

TEST(Text, UnknownCodePageFallsBackToLocale) {
  EXPECT_FALSE(SetAnsiCodePage("NO-SUCH-CODEPAGE"));
  EXPECT_TRUE(SetAnsiCodePage("GBK"));
  EXPECT_EQ(AnsiCodePage().name(), "GBK");
  EXPECT_TRUE(SetAnsiCodePage(""));
}

}  // namespace
}  // namespace common
