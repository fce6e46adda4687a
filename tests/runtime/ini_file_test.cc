#include "runtime/ini_file.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/gbk_text_testing.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

std::string ReadAll(const std::string& path) {
  std::string contents;
  SystemPlatform().ReadFile(path, &contents);
  return contents;
}

void WriteAll(const std::string& path, const std::string& contents) {
  ASSERT_TRUE(SystemPlatform().WriteFile(path, contents).ok());
}

TEST(IniLookupTest, NamesIgnoreCaseAndBlanks) {
  const std::string text = "[Path]\r\n  Key One  =  value  \r\n";
  EXPECT_EQ("value", FindIniValue(text, "path", "KEY ONE"));
  EXPECT_EQ("value", FindIniValue(text, " PATH ", "key one"));
}

TEST(IniLookupTest, QuotesCommentsAndDuplicates) {
  const std::string text =
      "[a]\n"
      ";k=commented\n"
      "k=\"quoted value\"\n"
      "k=second\n"
      "half=\"open\n"
      "[A]\n"
      "other=x\n";
  EXPECT_EQ("quoted value", FindIniValue(text, "a", "k")) << "the first key wins, quotes dropped";
  EXPECT_EQ("\"open", FindIniValue(text, "a", "half"));
  EXPECT_EQ(std::nullopt, FindIniValue(text, "a", "other")) << "only the first section counts";
  EXPECT_EQ(std::nullopt, FindIniValue(text, "a", ";k"));
  EXPECT_EQ(std::nullopt, FindIniValue(text, "b", "k"));
}

TEST(IniLookupTest, KeysBeforeAnySectionBelongToNone) {
  EXPECT_EQ(std::nullopt, FindIniValue("k=v\r\n[s]\r\n", "s", "k"));
  EXPECT_EQ("", FindIniValue("[s]\r\nk=\r\n", "s", "k"));
}

TEST(IniLookupTest, TrailBytesThatLookLikeSyntaxStayInNames) {
  // The trail bytes 5D "]" and 5C "\" and the value's "=" inside a character.
  const std::string section = "\x81\x5D名";
  const std::string text = "[" + section + "]\r\n\x81\x5C=1\r\n";
  EXPECT_EQ("1", FindIniValue(text, section, "\x81\x5C"));
}

TEST(IniWriteTest, MakesFileAndSectionWithCrLf) {
  EXPECT_GBK_EQ("[账号状态]\r\n状态=1\r\n", SetIniValue("", "账号状态", "状态", "1"));
  EXPECT_EQ("x=1\r\n[s]\r\nk=v\r\n", SetIniValue("x=1", "s", "k", "v"));
  EXPECT_EQ("[a]\r\nx=1\r\n[s]\r\nk=v\r\n", SetIniValue("[a]\r\nx=1\r\n", "s", "k", "v"));
}

TEST(IniWriteTest, ChangesOnlyTheOneKey) {
  const std::string before = "; note\r\n[S]\r\nA = old\r\nb=2\n\r\n[t]\r\nA=keep\r\n";
  EXPECT_EQ("; note\r\n[S]\r\na=new\r\nb=2\n\r\n[t]\r\nA=keep\r\n", SetIniValue(before, "s", "a", "new"));
  EXPECT_EQ("; note\r\n[S]\r\nA = old\r\nb=2\nc=3\r\n\r\n[t]\r\nA=keep\r\n",
            SetIniValue(before, "S", "c", "3"))
      << "a new key goes after the section's last line, before its blank lines";
  EXPECT_EQ("[s]\r\nk=1\r\n", SetIniValue("[s]", "s", "k", "1"));
}

TEST(IniWriteTest, LineBreaksInValuesNeverSplitTheLine) {
  std::string text = SetIniValue("", "s", "t", "one\r\ntwo\nthree\rfour");
  EXPECT_GBK_EQ("[s]\r\nt=one【换行】two【换行】three【换行】four\r\n", text);
  text = SetIniValue(text, "s", "evil", "x\r\n[s]\r\nt=overwritten");
  EXPECT_GBK_EQ("one【换行】two【换行】three【换行】four", *FindIniValue(text, "s", "t"));
}

TEST(IniWriteTest, ALineBreakAfterAStrayLeadByteIsReplacedToo) {
  // 0x81 starts a double-byte character, but no CR or LF can end one.
  const std::string text =
      SetIniValue("[s]\r\nt=1\r\n", "s", "evil", "x\x81\n[s]\x81\r\nt=2\xFE\r");
  EXPECT_GBK_EQ("[s]\r\nt=1\r\nevil=x\x81【换行】[s]\x81【换行】t=2\xFE【换行】\r\n", text);
  EXPECT_EQ("1", FindIniValue(text, "s", "t"));
}

TEST(IniWriteTest, ALastLineEndingInALoneCrIsEndedBeforeTheNewKey) {
  EXPECT_EQ("[s]\r\na=b\r\r\nk=v\r\n", SetIniValue("[s]\r\na=b\r", "s", "k", "v"));
  const std::string text = SetIniValue("[s]\r", "s", "k", "v");
  EXPECT_EQ("v", FindIniValue(text, "s", "k"));
  EXPECT_EQ(text, SetIniValue(text, "s", "k", "v")) << "found again, not added twice";
}

class IniFileTest : public ::testing::Test {
 protected:
  std::string File(const std::string& name) { return dir_.path() + "\\" + name; }
  TempDir dir_;
};

TEST_F(IniFileTest, ReadsWhatWasWrittenAndMissingReadsEmpty) {
  const std::string file = File("数据配置.ini");
  EXPECT_EQ("", ReadIniKey(file, "数据配置", "开启邮件监控"));
  ASSERT_TRUE(WriteIniKey(file, "数据配置", "开启邮件监控", "1"));
  ASSERT_TRUE(WriteIniKey(file, "数据配置", "QQ邮箱账号", "10001@qq.com"));
  EXPECT_EQ("1", ReadIniKey(file, "数据配置", "开启邮件监控"));
  EXPECT_EQ("10001@qq.com", ReadIniKey(file, "数据配置", "qq邮箱账号"));
  EXPECT_EQ("", ReadIniKey(file, "数据配置", "通知QQ邮箱"));
  EXPECT_EQ("", ReadIniKey(file, "其他", "开启邮件监控"));
  EXPECT_GBK_EQ("[数据配置]\r\n开启邮件监控=1\r\nQQ邮箱账号=10001@qq.com\r\n", ReadAll(file));
}

TEST_F(IniFileTest, LongValuesAreCutAtTheReadLimit) {
  const std::string file = File("t.ini");
  WriteAll(file, "[s]\r\nexact=" + std::string(kIniValueLimit, 'a') + "\r\nlong=" +
                     std::string(kIniValueLimit + 100, 'b') + "\r\nwide=" +
                     std::string(kIniValueLimit + 1, '\xB0') + "\r\n");
  EXPECT_EQ(std::string(10239, 'a'), ReadIniKey(file, "s", "exact"));
  EXPECT_EQ(std::string(10239, 'b'), ReadIniKey(file, "s", "long"));
  // Double-byte characters only: 10,239 bytes would end inside one.
  std::string wide = ReadIniKey(file, "s", "wide");
  EXPECT_EQ(10238u, wide.size());
}

TEST_F(IniFileTest, LeadingBlanksInNamesAreDroppedAndEmptyNamesReadNothing) {
  const std::string file = File("t.ini");
  ASSERT_TRUE(WriteIniKey(file, "s", "k", "v"));
  EXPECT_EQ("v", ReadIniKey("\t " + file, " \x01s", "  k"));

  FaultyFilesPlatform counting;
  ScopedPlatform scope(&counting);
  EXPECT_EQ("", ReadIniKey(file, " \r\n", "k"));
  EXPECT_EQ("", ReadIniKey(file, "s", ""));
  EXPECT_EQ("", ReadIniKey("  ", "s", "k"));
  EXPECT_EQ(0, counting.Count(kAllFileOps)) << "an empty name must not touch the file";
}

TEST_F(IniFileTest, RefusesNamesThatWouldCorruptTheFile) {
  const std::string file = File("t.ini");
  EXPECT_FALSE(WriteIniKey(file, "s", "a=b", "v"));
  EXPECT_FALSE(WriteIniKey(file, "s]x", "k", "v"));
  EXPECT_FALSE(WriteIniKey(file, "s", "k\r\nx", "v"));
  EXPECT_FALSE(WriteIniKey(file, "", "k", "v"));
  EXPECT_FALSE(WriteIniKey(file, "s", " ", "v"));
  std::string contents;
  EXPECT_TRUE(SystemPlatform().ReadFile(file, &contents).IsNotFound());
}

TEST_F(IniFileTest, RefusesNamesThatWouldNotReadBackAsThemselves) {
  const std::string file = File("t.ini");
  ASSERT_TRUE(WriteIniKey(file, "s", "k", "1"));
  const std::string before = ReadAll(file);
  // Line breaks that trimming would drop are written all the same.
  EXPECT_FALSE(WriteIniKey(file, "s", "\n[s]", "2"));
  EXPECT_FALSE(WriteIniKey(file, "s", "k\r\n", "2"));
  EXPECT_FALSE(WriteIniKey(file, "\r\nk=2\r\n", "x", "2"));
  // A key line read as a section or a comment.
  EXPECT_FALSE(WriteIniKey(file, "s", "[s]", "2"));
  EXPECT_FALSE(WriteIniKey(file, "s", " ;k", "2"));
  // A last lead byte takes the "]" or "=" after it as its trail.
  EXPECT_FALSE(WriteIniKey(file, "s\x81", "k", "2"));
  EXPECT_FALSE(WriteIniKey(file, "s", "k\xB0", "2"));
  EXPECT_EQ(before, ReadAll(file));
  EXPECT_EQ("1", ReadIniKey(file, "s", "k"));

  // Whole characters, brackets inside a key and blanks around names are fine.
  ASSERT_TRUE(WriteIniKey(file, "s\xB0\xA1", "k[1];\xB0\xA1", "3"));
  ASSERT_TRUE(WriteIniKey(file, " s ", " k\xB0\xA1 ", "4"));
  EXPECT_EQ("3", ReadIniKey(file, "s\xB0\xA1", "k[1];\xB0\xA1"));
  EXPECT_EQ("4", ReadIniKey(file, "s", "k\xB0\xA1"));
}

TEST_F(IniFileTest, AFailedWriteLeavesTheFileWhole) {
  const std::string file = File("123456.ini");
  ASSERT_TRUE(WriteIniKey(file, "账号状态", "状态", "2"));
  ASSERT_TRUE(WriteIniKey(file, "邮件转移通知配置", "邮件转移通知", "1"));
  const std::string before = ReadAll(file);

  for (unsigned op : {kOpWrite, kOpRename, kOpRead}) {
    FaultyFilesPlatform faulty;
    ScopedPlatform scope(&faulty);
    faulty.FailNth(op, 1);
    EXPECT_FALSE(WriteIniKey(file, "账号状态", "状态", "3")) << "op " << op;
    EXPECT_EQ(before, ReadAll(file)) << "op " << op;
  }
  std::string leftover;
  EXPECT_TRUE(SystemPlatform().ReadFile(file + ".tmp", &leftover).IsNotFound())
      << "no half-written sibling stays behind";
}

TEST_F(IniFileTest, ConcurrentWritersLoseNoKeys) {
  const std::string file = File("shared.ini");
  constexpr int kThreads = 8, kKeysEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&file, t] {
      for (int k = 0; k < kKeysEach; ++k) {
        WriteIniKey(file, t % 2 ? "odd" : "even", "k" + std::to_string(t) + "_" + std::to_string(k),
                    std::to_string(t * 1000 + k));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kKeysEach; ++k) {
      ASSERT_EQ(std::to_string(t * 1000 + k),
                ReadIniKey(file, t % 2 ? "odd" : "even", "k" + std::to_string(t) + "_" + std::to_string(k)));
    }
  }
}

}  // namespace
}  // namespace lanfeng
