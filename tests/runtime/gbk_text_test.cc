#include "runtime/gbk_text.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/gbk_text_testing.h"

namespace lanfeng {
namespace {

TEST(GbkTextTest, FixedTextsAreCompiledToTheirGbkBytes) {
  EXPECT_EQ("B2 E5 BC FE A3 BA E1 B0 B7 E7 CA D8 CD FB A1 AA A1 AA", HexBytes("插件：岚风守望——"));
  EXPECT_EQ("A1 BE BB BB D0 D0 A1 BF", HexBytes("【换行】"));
}

TEST(GbkTextTest, ConvertsToUtf8AndBack) {
  std::string utf8, gbk;
  ASSERT_TRUE(GbkToUtf8("岚风守望 ok", &utf8));
  EXPECT_EQ("\xE5\xB2\x9A\xE9\xA3\x8E\xE5\xAE\x88\xE6\x9C\x9B ok", utf8);
  ASSERT_TRUE(Utf8ToGbk(utf8, &gbk));
  EXPECT_GBK_EQ("岚风守望 ok", gbk);
  EXPECT_FALSE(GbkToUtf8("\x81", &utf8)) << "a lone lead byte is not GBK";
  EXPECT_FALSE(Utf8ToGbk("\xF0\x9F\x98\x80", &gbk)) << "an emoji has no GBK form";
}

TEST(GbkTextTest, CaseFoldingLeavesTrailBytesAlone) {
  EXPECT_TRUE(EqualsIgnoreCase("QQ邮箱Account", "qq邮箱account"));
  // 0x81 0x41 and 0x81 0x61 are two different characters whose trail bytes
  // look like "A" and "a".
  EXPECT_FALSE(EqualsIgnoreCase("\x81\x41", "\x81\x61"));
  EXPECT_FALSE(EqualsIgnoreCase("ab", "abc"));
}

TEST(GbkTextTest, FindsAsciiOnlyAsWholeCharacters) {
  // 乗 is 81 5C: its trail byte is a backslash.
  const std::string text = "乗\\x";
  EXPECT_EQ(2u, FindGbkChar(text, '\\'));
  EXPECT_EQ(std::string::npos, FindGbkChar("\x81\x5D", ']'));
}

TEST(GbkTextTest, CutsOnlyBetweenCharacters) {
  EXPECT_EQ("ab", CutAtCharBoundary("abcd", 2));
  EXPECT_GBK_EQ("a", CutAtCharBoundary("a岚风", 2)) << "never half of 岚";
  EXPECT_GBK_EQ("a岚", CutAtCharBoundary("a岚风", 3));
  EXPECT_EQ("abc", CutAtCharBoundary("abc", 10));
}

TEST(GbkTextTest, ReplacesWholeCharactersOnly) {
  EXPECT_GBK_EQ("a\r\nb", ReplaceAll("a【换行】b", "【换行】", "\r\n"));
  // "\x5C\x81" must not be found inside 乗 followed by 0x81...
  EXPECT_EQ("\x81\x5C\x81\x40", ReplaceAll("\x81\x5C\x81\x40", "\x5C\x81", "X"));
}

TEST(GbkTextTest, DisplaysUnconvertibleBytesAsHex) {
  EXPECT_EQ("\xE5\xB2\x9A\\xFF", GbkForDisplay("岚\xFF"));
}

TEST(GbkTextTest, TrimsBlanksAndControlBytes) {
  EXPECT_EQ("a b", TrimBlanks(" \t\r\na b \r\n"));
  EXPECT_EQ("a ", TrimLeadingBlanks("\x01 a "));
}

}  // namespace
}  // namespace lanfeng
