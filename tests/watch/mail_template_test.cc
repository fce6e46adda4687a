#include "watch/mail_template.h"

#include <gtest/gtest.h>

#include "support/gbk_text_testing.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

CivilTime At(int hour, int minute, int second) {
  CivilTime time;
  time.year = 2024;
  time.month = 3;
  time.day = 5;
  time.hour = hour;
  time.minute = minute;
  time.second = second;
  return time;
}

// The wall clock stands at 5 March 2024, 14:07:00.
class FixedClock : public PlatformWrapper {
 public:
  FixedClock() : PlatformWrapper(&SystemPlatform()) {}
  CivilTime LocalNow() override { return At(14, 7, 0); }
};

TEST(DateTimeTextTest, TrailingZeroPartsAreLeftOut) {
  EXPECT_GBK_EQ("2024年3月5日14时7分9秒", DateTimeText(At(14, 7, 9)));
  EXPECT_GBK_EQ("2024年3月5日14时7分", DateTimeText(At(14, 7, 0)));
  EXPECT_GBK_EQ("2024年3月5日14时", DateTimeText(At(14, 0, 0)));
  EXPECT_GBK_EQ("2024年3月5日", DateTimeText(At(0, 0, 0)));
  EXPECT_GBK_EQ("2024年3月5日0时5分", DateTimeText(At(0, 5, 0)));
  EXPECT_GBK_EQ("2024年3月5日0时0分1秒", DateTimeText(At(0, 0, 1)));
}

class ExpandTemplateTest : public ::testing::Test {
 protected:
  FixedClock clock_;
  ScopedPlatform scope_{&clock_};
};

TEST_F(ExpandTemplateTest, PlaceholdersAndLineBreaks) {
  EXPECT_GBK_EQ("账号：123456<br>时间：2024年3月5日14时7分",
                ExpandTemplate("账号：【账号号码】【换行】时间：【现行时间】", "123456"));
  EXPECT_GBK_EQ("a<br>b<br>c", ExpandTemplate("a\r\nb<br>c", "1"));
  EXPECT_GBK_EQ("a\nb\rc", ExpandTemplate("a\nb\rc", "1")) << "only CR LF pairs are line breaks";
  EXPECT_EQ("", ExpandTemplate("", "123456"));
  EXPECT_GBK_EQ("【账号】", ExpandTemplate("【账号】", "1"));
}

TEST_F(ExpandTemplateTest, ReplacementsRunInOrderOnEachOthersResults) {
  // The account is put in last, so an account text holding a placeholder
  // stays as it is.
  EXPECT_GBK_EQ("x【现行时间】", ExpandTemplate("x【账号号码】", "【现行时间】"));
}

TEST_F(ExpandTemplateTest, NoMatchStartsInsideADoubleByteCharacter) {
  // Bytes 1 to 8 spell 【换行】 (A1 BE BB BB D0 D0 A1 BF), but byte 1 is the
  // trail of 啊 (B0 A1): the characters are 啊, BE BB, BB D0, D0 A1, BF.
  const std::string tricky = "\xB0\xA1\xBE\xBB\xBB\xD0\xD0\xA1\xBF";
  EXPECT_EQ(tricky, ExpandTemplate(tricky, "1"));
}

}  // namespace
}  // namespace lanfeng
