#include "owner/private_commands.h"

#include <gtest/gtest.h>

#include "host_calls.h"
#include "runtime/ini_file.h"
#include "support/gbk_text_testing.h"
#include "support/watch_fixture.h"

namespace lanfeng {
namespace {

class PrivateCommandsTest : public WatchFixture {
 protected:
  void SetUp() override { UseHost(kXlzHost); }

  // Sends message from sender to robot 10001 and returns the replies.
  std::vector<std::string> Say(const std::string& message, const std::string& sender = "10001") {
    HandlePrivateCommand(watch_, "10001", sender, message);
    std::vector<std::string> replies;
    const std::string head = "发送好友消息|hostsim-xlz-key|10001|" + sender + "|";
    for (const std::string& call : hostsim::TakeCalls()) {
      if (call.rfind(head, 0) == 0) replies.push_back(call.substr(head.size(), call.rfind("|out|out") - head.size()));
    }
    return replies;
  }
  std::string Forward(const char* key) { return ReadIniKey(RecordPath("10001"), kForwardSection, key); }
};

TEST_F(PrivateCommandsTest, OnlyTheRobotAccountItselfIsHeard) {
  EXPECT_TRUE(Say("开启邮件转移通知", "20002").empty());
  EXPECT_EQ("", Forward(kForwardSwitchKey));
  EXPECT_EQ("", ReadIniKey(RecordPath("20002"), kForwardSection, kForwardSwitchKey));
}

TEST_F(PrivateCommandsTest, MenuAndSwitches) {
  EXPECT_EQ(std::vector<std::string>{kMenuReply}, Say("邮件菜单"));
  EXPECT_TRUE(Say(" 邮件菜单").empty()) << "a blank around the word is another message";
  EXPECT_TRUE(Say("邮件菜单 ").empty());
  EXPECT_TRUE(Say("你好").empty());

  EXPECT_EQ(std::vector<std::string>{"ok"}, Say("开启邮件转移通知"));
  EXPECT_GBK_EQ("[邮件转移通知配置]\r\n邮件转移通知=1\r\n",
                [this] {
                  std::string contents;
                  SystemPlatform().ReadFile(RecordPath("10001"), &contents);
                  return contents;
                }())
      << "a first command makes the record with just that key";
  Say("设置转移通知账号123456");
  EXPECT_EQ(std::vector<std::string>{"ok"}, Say("关闭邮件转移通知"));
  EXPECT_EQ("0", Forward(kForwardSwitchKey));
  EXPECT_EQ("123456@qq.com", Forward(kForwardMailboxKey)) << "switching off keeps the mailbox";
}

TEST_F(PrivateCommandsTest, TheMailboxIsTheDigitsAfterTheLastCommandWord) {
  const std::string set_reply =
      "——已设置转移通知账号——\r\n123456@qq.com\r\n————————\r\n以后该QQ上线/下线都会通知这个邮箱了！";
  EXPECT_EQ(std::vector<std::string>{set_reply}, Say("设置转移通知账号123456"));
  Say("设置转移通知账号9");
  EXPECT_EQ(std::vector<std::string>{set_reply}, Say("设置转移通知账号 12 34-56"));
  EXPECT_EQ("123456@qq.com", Forward(kForwardMailboxKey));

  EXPECT_EQ(std::vector<std::string>{kSetForwardErrorReply}, Say("设置转移通知账号abc"));
  EXPECT_EQ(std::vector<std::string>{kSetForwardErrorReply}, Say("设置转移通知账号"));
  EXPECT_EQ("123456@qq.com", Forward(kForwardMailboxKey)) << "an error writes nothing";

  Say("设置转移通知账号1设置转移通知账号2");
  EXPECT_EQ("2@qq.com", Forward(kForwardMailboxKey));
  EXPECT_TRUE(Say("请设置转移通知账号1").empty()) << "the word must begin the message";
}

TEST_F(PrivateCommandsTest, ASettingThatWasNotSavedIsNotAnsweredAsDone) {
  platform_.FailNth(kOpRename, 1);
  EXPECT_EQ(std::vector<std::string>{kNotSavedReply}, Say("开启邮件转移通知"));
  platform_.FailNth(kOpWrite, 1);
  EXPECT_EQ(std::vector<std::string>{kNotSavedReply}, Say("设置转移通知账号123"));
  EXPECT_EQ("", Forward(kForwardSwitchKey));

  WriteIniKey(paths_.BaseConfigPath(), kPathSection, kPathKey, "");
  EXPECT_EQ(std::vector<std::string>{kNotSavedReply}, Say("开启邮件转移通知"))
      << "with no data directory nothing can be saved";
  EXPECT_EQ(std::vector<std::string>{kMenuReply}, Say("邮件菜单"));
}

}  // namespace
}  // namespace lanfeng
