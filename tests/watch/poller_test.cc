#include "watch/poller.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "bot_sim.h"
#include "dulu_host.h"
#include "runtime/ini_file.h"
#include "support/gbk_text_testing.h"
#include "support/watch_fixture.h"
#include "xlz_host.h"

namespace lanfeng {
namespace {

class PollerTest : public WatchFixture {
 protected:
  void Poll() { EXPECT_TRUE(PollPass(watch_)); }
};

TEST_F(PollerTest, WatchingOffLogsTheCycleLinesAndTouchesNothing) {
  UseHost(kDrHost);
  SetSetting(kWatchSwitchKey, "0");
  BotSim_SetLists("10001", "10002");
  Poll();
  EXPECT_EQ((std::vector<std::string>{"线程1号，已启动，正在处理数据！", "线程1号，等待60秒后在接着处理数据！"}),
            LogLines());
  EXPECT_EQ("", State("10001"));
}

TEST_F(PollerTest, DrListsAreSplitAtCrLfWithEmptyPiecesDropped) {
  UseHost(kDrHost);
  BotSim_SetLists("10001\r\n\r\n10002\r\n", nullptr);
  Poll();
  EXPECT_EQ((std::vector<std::string>{"线程1号，已启动，正在处理数据！", "线程1—1号，已启动，正在处理数据！",
                                      "DR在线账号：10001", "DR在线账号：10002",
                                      "线程1号，等待60秒后在接着处理数据！"}),
            LogLines());
  EXPECT_EQ("1", State("10001"));
  EXPECT_EQ("1", State("10002"));
}

TEST_F(PollerTest, ADrAccountInBothListsIsReadAnewForTheSecond) {
  UseHost(kDrHost);
  SetState("10001", "4");
  BotSim_SetLists("10001", "10001");
  Poll();
  EXPECT_EQ("1", State("10001")) << "online moved it to 1; offline then found 1 and left it";
  SetState("10002", "2");
  BotSim_SetLists("", "10002\r\n10003");
  Poll();
  EXPECT_EQ("3", State("10002"));
  EXPECT_EQ("3", State("10003"));
}

TEST_F(PollerTest, XiaoLiZiTextsMoveOnlyTheirStates) {
  UseHost(kXlzHost);
  SetState("3", "2");
  SetState("4", "2");
  hostsim::SetXlzAccountList(
      "{\"QQlist\":{\"1\":{\"登录信息\":\"登录成功\"},\"2\":{\"登录信息\":\"正在登录\"},"
      "\"3\":{\"登录信息\":\"登录失效\"},\"4\":{\"登录信息\":\"下线成功\"},\"5\":{}}}");
  Poll();
  EXPECT_EQ("1", State("1"));
  EXPECT_EQ("", State("2")) << "an unknown text leaves the record alone";
  EXPECT_EQ("3", State("3"));
  EXPECT_EQ("3", State("4"));
  EXPECT_FALSE(std::filesystem::exists(dir_.native() + "/data/\xE8\xB4\xA6\xE5\x8F\xB7\xE8\xAE\xB0\xE5\xBD\x95/5.ini"));
}

TEST_F(PollerTest, DuluChecksJudgeByTheOneStateReadFirst) {
  UseHost(kDuluHost);
  SetState("20002", "4");
  SetState("20004", "2");
  hostsim::SetDuluAccountList(
      "{\"20001\":{\"附加信息\":\"登录成功\",\"状态\":0},\"20002\":{\"附加信息\":\"登录成功\",\"状态\":0},"
      "\"20003\":{\"附加信息\":\"你的帐号当前登录已失效，请重新登录。\",\"状态\":1},"
      "\"20004\":{\"附加信息\":\"\",\"状态\":0}}");
  Poll();
  EXPECT_EQ("3", State("20001")) << "online wrote 1, the status check (judging by \"\") wrote 3";
  EXPECT_EQ("1", State("20002")) << "the status check judged by 4 and left it";
  EXPECT_EQ("3", State("20003"));
  EXPECT_EQ("3", State("20004"));
}

TEST_F(PollerTest, ListedNamesAreTheAccountsWhateverTheirCharacters) {
  UseHost(kXlzHost);
  SetState("10002", "2");
  hostsim::SetXlzAccountList(
      "{\"QQlist\":{\"账号甲\":{\"登录信息\":\"登录成功\"},"
      "\"10001\\r\\n10002\":{\"登录信息\":\"登录成功\"},\"10002\":{\"登录信息\":\"下线成功\"}}}");
  Poll();
  EXPECT_EQ("1", State("账号甲"));
  // A name holding CR LF is listed as its pieces, each read as a name of its
  // own: 10001 names no member, 10002 is read twice and moved once.
  EXPECT_EQ("", State("10001"));
  EXPECT_EQ("3", State("10002"));

  UseHost(kDuluHost);
  SetState("账号乙", "2");
  hostsim::SetDuluAccountList("{\"账号乙\":{\"附加信息\":\"\",\"状态\":0},\"a'b\":{\"状态\":0}}");
  Poll();
  EXPECT_EQ("3", State("账号乙"));
  EXPECT_EQ("3", State("a'b"));
}

TEST_F(PollerTest, WithoutAHostThePassLogsItsStartLineOnly) {
  UseHost(kNoHost);
  Poll();  // Log writes nothing without a host
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(PollerTest, AccountNamesThatWouldLeaveTheRecordsDirectoryAreIgnored) {
  UseHost(kDrHost);
  BotSim_SetLists("..\\..\\evil\r\nC:x\r\n10001", nullptr);
  Poll();
  EXPECT_EQ("1", State("10001"));
  EXPECT_FALSE(std::filesystem::exists(dir_.native() + "/evil.ini"));
  UseHost(kXlzHost);
  hostsim::SetXlzAccountList("{\"QQlist\":{\"../x\":{\"登录信息\":\"登录成功\"},\"a'b\":{\"登录信息\":\"登录成功\"}}}");
  Poll();
  EXPECT_EQ("1", State("a'b")) << "a quote in a member name is escaped in its path";
  EXPECT_FALSE(std::filesystem::exists(dir_.native() + "/data/x.ini"));
}

TEST_F(PollerTest, NothingIsWrittenWithoutADataDirectory) {
  UseHost(kDrHost);
  WriteIniKey(paths_.BaseConfigPath(), kPathSection, kPathKey, "");
  BotSim_SetLists("10001", nullptr);
  const int writes_before = platform_.Count(kOpWrite | kOpCreateDirectory);
  Poll();
  EXPECT_EQ(writes_before, platform_.Count(kOpWrite | kOpCreateDirectory));
}

}  // namespace
}  // namespace lanfeng
