#include "base/text.h"

#include <gtest/gtest.h>

namespace ket {
namespace {

TEST(Text, RoundTripsCyrillicAndAstralCharacters) {
  const std::string utf8 = "\xD0\x9A\xD0\xB5\xD1\x82\xD1\x80\xD0\xBE \xF0\x9F\x98\x80";
  const std::u16string utf16 = Utf8ToUtf16(utf8);
  ASSERT_EQ(utf16.size(), 8u);
  EXPECT_EQ(utf16[0], u'\x041A');
  EXPECT_EQ(utf16[6], 0xD83D);
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
}

TEST(Text, IllFormedInputBecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\xC3"), u"a\xFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\xFFFD");       // overlong "/"
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80x"), u"\xFFFDx"); // encoded surrogate
  EXPECT_EQ(Utf16ToUtf8(u"\xD800"), "\xEF\xBF\xBD");
}

TEST(Text, AsciiLowerTouchesOnlyAsciiCapitals) {
  EXPECT_EQ(AsciiLower(u"/UPDATE \x0416"), u"/update \x0416");
}

} // namespace
} // namespace ket
