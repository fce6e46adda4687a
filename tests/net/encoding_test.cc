#include "net/encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "support/gbk_text_testing.h"

namespace lanfeng {
namespace {

// Narrow literals are GBK in this build, u8 literals UTF-8.
constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
// "A中" in UTF-16 little-endian with its mark.
const std::string kUnicodeText("\xFF\xFE\x41\0\x2D\x4E", 6);

TEST(EncodingTest, Utf8BecomesTheGbkBytesOfTheSameText) {
  EXPECT_GBK_EQ("插件：岚风守望——ok 1.0", ConvertEncoding(u8"插件：岚风守望——ok 1.0"));
  EXPECT_GBK_EQ("中文", ConvertEncoding(u8"中文", "", ""));
  EXPECT_GBK_EQ("中文", ConvertEncoding(u8"中文", "utf-8", "gbk"));
  // "gb2312" means GBK, as on Windows: 乗 (81 5C) is not in GB2312.
  EXPECT_EQ("乗", ConvertEncoding(u8"乗", "UTF-8", "gb2312"));
}

TEST(EncodingTest, EmptyInputAndUnknownCharsetsGiveNothing) {
  EXPECT_EQ("", ConvertEncoding(""));
  EXPECT_EQ("", ConvertEncoding("", "GBK", "UTF-8"));
  EXPECT_EQ("", ConvertEncoding("text", "no-such-charset", "GBK"));
  EXPECT_EQ("", ConvertEncoding("text", "UTF-8", "no-such-charset"));
}

TEST(EncodingTest, Utf8OutputStartsWithItsMarkWhichAStartPositionSkips) {
  EXPECT_EQ(kUtf8Mark + std::string(u8"中文"), ConvertEncoding("中文", "GBK", "UTF-8"));
  EXPECT_EQ(u8"中文", ConvertEncoding("中文", "GBK", "UTF-8", 3));
  EXPECT_EQ("\x96\x87", ConvertEncoding("中文", "GBK", "UTF-8", 7));
  EXPECT_EQ("", ConvertEncoding("中文", "GBK", "UTF-8", 9));
  EXPECT_EQ("", ConvertEncoding("中文", "GBK", "UTF-8", 100));
  EXPECT_EQ(kUnicodeText, ConvertEncoding("A中", "GBK", "unicode"));
  EXPECT_EQ(std::string("\xFE\xFF\0A", 4), ConvertEncoding("A", "GBK", "unicodeFFFE"));
}

TEST(EncodingTest, InputMarksAreDropped) {
  EXPECT_GBK_EQ("公告", ConvertEncoding(kUtf8Mark + std::string(u8"公告")));
  EXPECT_GBK_EQ("A中", ConvertEncoding(kUnicodeText, "unicode"));
  // In GBK the same bytes are characters (EF BB, BF 41) and stay.
  EXPECT_EQ(kUtf8Mark + std::string("A"),
            ConvertEncoding(kUtf8Mark + std::string("A"), "GBK", "GBK"));
}

TEST(EncodingTest, OnlyWhatCannotBeConvertedIsDropped) {
  // Characters GBK lacks: an emoji and a Hangul syllable. (The assertion
  // macros quote their arguments as GBK text, which cannot hold them.)
  const std::string emoji = u8"😀";
  const std::string mixed = u8"通知😀内容한";
  EXPECT_GBK_EQ("通知内容", ConvertEncoding(mixed));
  EXPECT_EQ("", ConvertEncoding(emoji));
  EXPECT_EQ(emoji, ConvertEncoding(emoji, "UTF-8", "UTF-8", 3));
  // Bytes that are not UTF-8: a lone lead byte, a stray FF, a cut character at
  // the end.
  EXPECT_GBK_EQ("a(b", ConvertEncoding("a\xC3(\xFF\x62\xE4\xB8"));
}

}  // namespace
}  // namespace lanfeng
