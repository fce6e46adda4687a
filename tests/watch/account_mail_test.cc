// The online and offline mails, sent to a real local SMTP server and read
// back as it received them.
#include "watch/account_mail.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "runtime/ini_file.h"
#include "support/smtp_test_server.h"
#include "support/watch_fixture.h"
#include "watch/dispatcher.h"

namespace lanfeng {
namespace {

class AccountMailTest : public WatchFixture {
 protected:
  void SetUp() override { UseHost(kDrHost); }
  void TearDown() override {
    for (const char* name : {"LANFENG_SMTP_HOST", "LANFENG_SMTP_PORT", "LANFENG_SMTP_CA_FILE",
                             "LANFENG_SMTP_TIMEOUT_MS"}) {
      unsetenv(name);
    }
  }

  // Starts the server and points the plugin's mails at it, for real.
  void StartServer(const SmtpServerOptions& options) {
    SmtpServerOptions with_login = options;
    with_login.user = "10000@qq.com";
    if (with_login.password == SmtpServerOptions().password) with_login.password = "secret-code";
    ASSERT_TRUE(server_.Start(with_login));
    setenv("LANFENG_SMTP_HOST", "localhost", 1);
    setenv("LANFENG_SMTP_PORT", std::to_string(server_.port()).c_str(), 1);
    setenv("LANFENG_SMTP_CA_FILE", server_.certificate().c_str(), 1);
    setenv("LANFENG_SMTP_TIMEOUT_MS", "1500", 1);
    watch_.send_mail = SendOverSmtp;
  }
  void StartServer() { StartServer(SmtpServerOptions()); }

  void SetForward(const std::string& account, const std::string& on, const std::string& mailbox) {
    EnsureRecord(account);
    WriteIniKey(RecordPath(account), kForwardSection, kForwardSwitchKey, on);
    WriteIniKey(RecordPath(account), kForwardSection, kForwardMailboxKey, mailbox);
  }
  void EnsureRecord(const std::string& account) { SetState(account, State(account)); }

  SmtpTestServer server_;
};

TEST_F(AccountMailTest, OnlineMailToTheAccountsOwnMailbox) {
  StartServer();
  SendAccountMail(watch_, "10001", "10001@qq.com", true);
  std::vector<std::string> lines = LogLines();
  EXPECT_EQ((std::vector<std::string>{"线程2-1号，已启动，正在处理数据！", "QQ账号：10001——在线中，发送通知邮件！",
                                      "发送邮箱账号：10001@qq.com", "邮件转移通知开关已关闭——通知默认邮箱！",
                                      "发送邮件成功——发送邮箱账号：10001@qq.com",
                                      "通知QQ邮箱内容为空，不发送邮件！"}),
            lines);
  std::vector<ReceivedMail> mails = server_.ReceivedMails();
  ASSERT_EQ(1u, mails.size());
  const ReceivedMail& mail = mails[0];
  EXPECT_EQ(u8"上线通知！", mail.from_name);
  EXPECT_EQ("10000@qq.com", mail.from_address);
  EXPECT_EQ(u8"账号在线中，可正常使用！", mail.subject);
  EXPECT_EQ(std::vector<std::string>{"10001@qq.com"}, mail.rcpt_tos);
  EXPECT_EQ(u8"账号：10001上线", mail.body);
  EXPECT_TRUE(mail.date_valid);
  EXPECT_TRUE(mail.defects.empty());
}

TEST_F(AccountMailTest, ForwardedMailAndACopyToTheNotifyMailbox) {
  StartServer();
  SetForward("10001", "1", "20002@qq.com");
  SetSetting(kNotifyMailboxKey, "30003@qq.com");
  SendAccountMail(watch_, "10001", "10001@qq.com", false);
  std::vector<std::string> lines = LogLines();
  EXPECT_TRUE(Contains(lines, "邮件转移通知开关已开启——通知转移邮箱！"));
  EXPECT_TRUE(Contains(lines, "发送邮件成功——发送邮箱账号：20002@qq.com"));
  EXPECT_TRUE(Contains(lines, "通知QQ邮箱内容不为空，正在发送邮件！"));
  EXPECT_TRUE(Contains(lines, "发送邮件成功——发送邮箱账号：30003@qq.com"));
  std::vector<ReceivedMail> mails = server_.ReceivedMails();
  ASSERT_EQ(2u, mails.size());
  EXPECT_EQ(std::vector<std::string>{"20002@qq.com"}, mails[0].rcpt_tos) << "the account's own gets none";
  EXPECT_EQ(std::vector<std::string>{"30003@qq.com"}, mails[1].rcpt_tos);
  for (const ReceivedMail& mail : mails) {
    EXPECT_EQ(u8"掉线通知！", mail.from_name);
    EXPECT_EQ(u8"账号掉线了，请抓紧登录，才能使用！", mail.subject);
    EXPECT_EQ(u8"账号：10001下线", mail.body);
  }
}

TEST_F(AccountMailTest, AnEmptyForwardMailboxFailsTheFirstMailButNotTheCopy) {
  StartServer();
  SetForward("10001", "1", "");
  SetSetting(kNotifyMailboxKey, "30003@qq.com");
  SendAccountMail(watch_, "10001", "10001@qq.com", true);
  std::vector<std::string> lines = LogLines();
  EXPECT_TRUE(Contains(lines, "发送邮件失败——发送邮箱账号：——失败原因：收件人不能为空"));
  EXPECT_TRUE(Contains(lines, "发送邮件成功——发送邮箱账号：30003@qq.com"));
  EXPECT_EQ(1u, server_.ReceivedMails().size());
}

TEST_F(AccountMailTest, AnEmptyTemplateSendsNothing) {
  StartServer();
  SetSetting(kOnlineTemplateKey, "");
  SendAccountMail(watch_, "10001", "10001@qq.com", true);
  EXPECT_TRUE(Contains(LogLines(), "上线邮件内容为空，无法发送！"));
  EXPECT_TRUE(server_.ReceivedMails().empty());
}

// Each failure ends in a "发送邮件失败——" line with its reason, and the
// dispatcher goes on with the next account.
struct FaultCase {
  const char* name;
  const char* mode;
  const char* expected_reason;  // a part of the logged reason
};

class MailFaultTest : public AccountMailTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(MailFaultTest, TheFailureIsLoggedAndTheNextAccountHandled) {
  const FaultCase& fault = GetParam();
  SmtpServerOptions options;
  RefusingPort refusing;
  if (std::string(fault.name) == "wrong_login") {
    options.password = "another-code";
  } else if (std::string(fault.name) == "bad_certificate") {
    options.certificate_name = "someone-else.example";
  } else {
    options.mode = fault.mode;
  }
  StartServer(options);
  if (std::string(fault.name) == "nothing_listening") {
    setenv("LANFENG_SMTP_PORT", std::to_string(refusing.port()).c_str(), 1);
  }
  SetState("10001", "1");
  SetState("10002", "3");
  DispatchPass(watch_);
  std::vector<std::string> lines = LogLines();
  int failures = 0;
  for (const std::string& line : lines) {
    if (line.rfind("发送邮件失败——发送邮箱账号：", 0) != 0) continue;
    ++failures;
    EXPECT_NE(std::string::npos, line.find(fault.expected_reason)) << line;
    EXPECT_EQ(std::string::npos, line.find("secret-code")) << "the authorization code never shows";
  }
  EXPECT_EQ(2, failures) << "both accounts were handled";
  EXPECT_EQ("2", State("10001"));
  EXPECT_EQ("4", State("10002"));
  for (const std::string& line : lines) EXPECT_EQ(std::string::npos, line.find("secret-code"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MailFaultTest,
    ::testing::Values(FaultCase{"wrong_login", "normal", "535"},
                      FaultCase{"close_in_data", "close-in-data", "服务器断开了连接"},
                      FaultCase{"silent", "silent", "等待服务器超时"},
                      FaultCase{"nothing_listening", "normal", "Connection refused"},
                      FaultCase{"bad_certificate", "normal", "TLS握手失败"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lanfeng
