#include "watch/dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "runtime/ini_file.h"
#include "support/gbk_text_testing.h"
#include "support/watch_fixture.h"
#include "xlz_host.h"

namespace lanfeng {
namespace {

class DispatcherTest : public WatchFixture {};

TEST_F(DispatcherTest, APendingOnlineAccountIsMailedOnce) {
  UseHost(kDrHost);
  SetState("10001", "1");
  EXPECT_TRUE(DispatchPass(watch_));
  EXPECT_EQ("2", State("10001"));
  EXPECT_EQ(1, mails_.load());
  std::vector<std::string> lines = LogLines();
  EXPECT_EQ("线程2号，已启动，正在处理数据！", lines.front());
  EXPECT_TRUE(Contains(lines, "QQ账号：10001——在线中，发送通知邮件！"));
  EXPECT_TRUE(Contains(lines, "发送邮箱账号：10001@qq.com"));
  EXPECT_TRUE(Contains(lines, "发送邮件成功——发送邮箱账号：10001@qq.com"));
  EXPECT_EQ("线程2号，等待70秒后在接着处理数据！", lines.back());

  EXPECT_TRUE(DispatchPass(watch_));
  EXPECT_EQ(1, mails_.load()) << "the handled state is never mailed again";
}

TEST_F(DispatcherTest, AnOfflineAccountIsRemovedWhenTheOwnerWantsIt) {
  UseHost(kXlzHost);
  SetSetting(kDeleteOfflineKey, "1");
  SetState("10001", "3");
  SetState("10002", "1");
  DispatchPass(watch_);
  EXPECT_EQ("4", State("10001"));
  EXPECT_EQ(2, mails_.load());
  std::vector<std::string> lines = LogLines();
  EXPECT_TRUE(Contains(lines, "QQ账号：10001——掉线了，发送通知邮件！"));
  EXPECT_TRUE(Contains(lines, "已开启删除离线账号"));
  EXPECT_TRUE(Contains(lines, "删除离线账号：10001删除状态：真"));
  EXPECT_FALSE(Contains(lines, "删除离线账号：10002删除状态：真")) << "online accounts stay";

  hostsim::SetXlzDeleteAnswer("1");
  SetState("10003", "3");
  DispatchPass(watch_);
  EXPECT_TRUE(Contains(LogLines(), "删除离线账号：10003删除状态：假"));
}

TEST_F(DispatcherTest, OnlyPendingStatesAreTouched) {
  UseHost(kDrHost);
  for (const char* state : {"2", "4", "5", ""}) SetState(std::string("acct") + (*state ? state : "0"), state);
  DispatchPass(watch_);
  EXPECT_EQ(0, mails_.load());
  EXPECT_EQ("5", State("acct5"));
  EXPECT_EQ("", State("acct0"));
}

TEST_F(DispatcherTest, RecordNamesWithoutAnAccountAreSkipped) {
  UseHost(kXlzHost);
  SetSetting(kDeleteOfflineKey, "1");
  SetState("abc", "1");
  const std::string records = dir_.native() + "/data/\xE8\xB4\xA6\xE5\x8F\xB7\xE8\xAE\xB0\xE5\xBD\x95/";
  std::filesystem::rename(records + "abc.ini", records + "ABC.INI");
  SetState("", "3");  // a file named ".ini"
  SetState("abc", "1");
  DispatchPass(watch_);
  EXPECT_EQ(1, mails_.load()) << "only abc.ini names an account";
  std::vector<std::string> lines = LogLines();
  EXPECT_TRUE(Contains(lines, "发送邮箱账号：abc@qq.com"));
  EXPECT_FALSE(Contains(lines, "已开启删除离线账号")) << "account \"\" is never removed";
  EXPECT_EQ("3", State(""));
}

TEST_F(DispatcherTest, WatchingOffOnlyLogsTheStartLine) {
  UseHost(kDrHost);
  SetSetting(kWatchSwitchKey, "true");
  SetState("10001", "1");
  EXPECT_FALSE(DispatchPass(watch_)) << "no long wait with watching off";
  EXPECT_EQ(std::vector<std::string>{"线程2号，已启动，正在处理数据！"}, LogLines());
  EXPECT_EQ("1", State("10001"));
}

TEST_F(DispatcherTest, AStateThatCannotBeWrittenDelaysTheMailInsteadOfRepeatingIt) {
  UseHost(kDrHost);
  SetSetting(kDeleteOfflineKey, "1");
  SetState("10001", "3");
  platform_.FailNth(kOpRename, 1);
  DispatchPass(watch_);
  EXPECT_EQ(0, mails_.load());
  EXPECT_EQ("3", State("10001"));
  EXPECT_TRUE(Contains(LogLines(), "QQ账号：10001——通知状态无法写入记录，本次不发送邮件，留待下次处理！"));

  DispatchPass(watch_);  // the disk is back
  DispatchPass(watch_);
  EXPECT_EQ(1, mails_.load());
  EXPECT_EQ("4", State("10001"));
}

TEST_F(DispatcherTest, AFailedMailIsLoggedAndNotRetried) {
  UseHost(kDrHost);
  SetState("10001", "1");
  fail_mail_ = "连接失败";
  DispatchPass(watch_);
  DispatchPass(watch_);
  EXPECT_EQ(1, mails_.load());
  EXPECT_TRUE(Contains(LogLines(), "发送邮件失败——发送邮箱账号：10001@qq.com——失败原因：连接失败"));
}

TEST(RecordFilesTest, NamesAndPatterns) {
  EXPECT_EQ("123456", AccountFromFileName("123456.ini"));
  EXPECT_EQ("a", AccountFromFileName("a.ini.ini"));
  EXPECT_EQ("", AccountFromFileName("123456.INI"));
  EXPECT_EQ("", AccountFromFileName(".ini"));
  EXPECT_EQ("", AccountFromFileName("123456"));

  TempDir dir;
  for (const char* name : {"1.ini", "2.INI", "3.ini.tmp", "4.txt", "岚.ini"}) {
    ASSERT_TRUE(SystemPlatform().WriteFile(dir.path() + "\\" + name, "").ok());
  }
  ASSERT_TRUE(SystemPlatform().CreateDirectory(dir.path() + "\\5.ini").ok());
  std::vector<std::string> names = ListRecordFiles(dir.path(), "*.ini");
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"1.ini", "2.INI", "岚.ini"}), names)
      << "letter case ignored, folders and other extensions left out";
  EXPECT_TRUE(ListRecordFiles(dir.path() + "\\missing", "*.ini").empty());
}

}  // namespace
}  // namespace lanfeng
