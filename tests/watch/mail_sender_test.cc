#include "watch/mail_sender.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>

#include "platform/platform.h"
#include "runtime/gbk_text.h"
#include "support/gbk_text_testing.h"
#include "support/smtp_test_server.h"
#include "watch/mail_service.h"

namespace lanfeng {
namespace {

constexpr char kAccount[] = "robot@qq.com";
constexpr char kAuthCode[] = "authcode";

std::string Gbk(const std::string& utf8) {
  std::string gbk;
  EXPECT_TRUE(Utf8ToGbk(utf8, &gbk)) << utf8;
  return gbk;
}

// Connections that trust ca_file, with limits a test can wait out.
TlsConnectOptions Trusting(const std::string& ca_file, int io_timeout_ms = 10000) {
  TlsConnectOptions options;
  options.ca_file = ca_file;
  options.connect_timeout_ms = 10000;
  options.io_timeout_ms = io_timeout_ms;
  options.total_timeout_ms = 30000;
  return options;
}

// A sender of the online mail to owner@qq.com through the test server.
MailSender OnlineMail(const TlsConnectOptions& connection, int port,
                      const std::string& auth_code = kAuthCode) {
  MailSender sender(connection);
  sender.Init(true, "localhost", port, kAccount, auth_code);
  sender.SetSender(kAccount, "上线通知！");
  sender.AddReceiver("owner@qq.com");
  sender.SetSubject("账号在线中，可正常使用！");
  sender.SetContent("账号：123456<br>时间：2024年3月5日14时7分");
  return sender;
}

std::string SendFailure(MailSender& sender) {
  std::string error;
  EXPECT_FALSE(sender.Send(&error));
  return error;
}

// Sets an environment setting for the life of the scope.
class ScopedSetting {
 public:
  ScopedSetting(const char* name, const std::string& value) : name_(name) {
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedSetting() { ::unsetenv(name_); }

 private:
  const char* name_;
};

TEST(MailSenderTest, ChecksComeFirstInTheirOrder) {
  RefusingPort refusing;
  MailSender sender(Trusting(""));
  auto expect_failure = [&sender](const std::string& text) {
    std::string error = "old";
    EXPECT_FALSE(sender.Send(&error));
    EXPECT_GBK_EQ(text, error);
  };
  expect_failure(kNoMailAccountText);
  sender.Init(false, "", refusing.port(), "123456", "");
  expect_failure(kNoMailPasswordText);
  sender.Init(false, "", refusing.port(), "123456", kAuthCode);
  expect_failure(kNoSenderText);  // no sender: the account stands in, and it is no address
  EXPECT_FALSE(sender.SetSender("robot@qq.com\r\nRCPT TO:<thief@example.com>", "上线通知！"));
  expect_failure(kNoSenderText);
  EXPECT_TRUE(sender.SetSender("robot@qq.com", "上线通知！"));
  expect_failure(kNoReceiverText);
  EXPECT_FALSE(sender.AddReceiver(""));
  EXPECT_FALSE(sender.AddReceiver("owner@qq.com>\r\nDATA"));
  EXPECT_FALSE(sender.AddReceiver("owner@qq.com\n", "x"));
  expect_failure(kNoReceiverText);
  EXPECT_TRUE(sender.AddReceiver("owner@qq.com"));
  expect_failure(kNoSubjectText);
  sender.SetSubject("账号在线中，可正常使用！");
  expect_failure(kNoContentText);
  sender.SetContent("<b>x</b>");
  expect_failure(kNoMailServerText);
  sender.Init(false, "127.0.0.1", refusing.port(), "123456", kAuthCode);
  expect_failure(kPlainSmtpRefusedText);
  sender.Init(true, "127.0.0.1", refusing.port(), "123456", kAuthCode);
  expect_failure("连接服务器失败（127.0.0.1:" + std::to_string(refusing.port()) +
                 "）：Connection refused");
  sender.ClearReceivers();
  expect_failure(kNoReceiverText);
}

TEST(MailSenderTest, WithoutTheEnvironmentMailsGoToQqMail) {
  EXPECT_EQ("smtp.qq.com", QqMailSmtpHost());
  EXPECT_EQ(465, QqMailSmtpPort());
  EXPECT_EQ("", MailConnectionOptions().ca_file) << "the system's CA store";
  ScopedSetting port(kSmtpPortSetting, "99999");
  EXPECT_EQ(465, QqMailSmtpPort()) << "not a port";
}

TEST(MailSenderServerTest, DeliversReadableMailsToEveryReceiver) {
  SmtpTestServer server;
  ASSERT_TRUE(server.Start());
  ScopedSetting host(kSmtpHostSetting, "localhost");
  ScopedSetting port(kSmtpPortSetting, std::to_string(server.port()));
  ScopedSetting ca(kSmtpCaFileSetting, server.certificate());
  // As the system sends: the environment names server and CA, the sender
  // address is left to default to the account.
  MailSender sender;
  sender.Init(true, QqMailSmtpHost(), QqMailSmtpPort(), kAccount, kAuthCode);
  sender.SetSender("", "上线通知！");
  sender.AddReceiver("owner@qq.com");
  sender.AddReceiver("friend@qq.com", "朋友");
  sender.SetSubject("账号在线中，可正常使用！");
  const std::string content =
      "账号：123456<br>时间：2024年3月5日14时7分\r\n"
      ".以点开头的一行 \r\n" +
      std::string(100, '=') + "岚风守望" + std::string(80, '.');
  sender.SetContent(content);

  std::string error = "untouched";
  ASSERT_TRUE(sender.Send(&error)) << GbkForDisplay(error);
  EXPECT_EQ("untouched", error) << "success leaves the error text alone";
  ASSERT_TRUE(sender.Send(&error)) << "the receivers stay for the next send";

  const std::vector<ReceivedMail> mails = server.ReceivedMails();
  ASSERT_EQ(2u, mails.size());
  for (const ReceivedMail& mail : mails) {
    EXPECT_EQ(kAccount, mail.auth_login);
    EXPECT_EQ(kAccount, mail.mail_from);
    EXPECT_EQ((std::vector<std::string>{"owner@qq.com", "friend@qq.com"}), mail.rcpt_tos);
    EXPECT_GBK_EQ("上线通知！", Gbk(mail.from_name));
    EXPECT_EQ(kAccount, mail.from_address);
    ASSERT_EQ(2u, mail.to.size());
    EXPECT_EQ("", mail.to[0].first);
    EXPECT_EQ("owner@qq.com", mail.to[0].second);
    EXPECT_GBK_EQ("朋友", Gbk(mail.to[1].first));
    EXPECT_GBK_EQ("账号在线中，可正常使用！", Gbk(mail.subject));
    EXPECT_GBK_EQ(content, Gbk(mail.body));
    EXPECT_EQ("text/html", mail.content_type);
    EXPECT_EQ("utf-8", mail.charset);
    EXPECT_EQ("quoted-printable", mail.transfer_encoding);
    EXPECT_EQ("1.0", mail.mime_version);
    EXPECT_TRUE(mail.date_valid);
    EXPECT_TRUE(std::regex_match(mail.message_id, std::regex("<lanfeng\\.[0-9a-f]{16}@qq\\.com>")))
        << mail.message_id;
    EXPECT_TRUE(mail.defects.empty()) << mail.defects.front();
    EXPECT_LE(mail.longest_line, 76);
    EXPECT_EQ(0, mail.stray_line_ends);
  }
  EXPECT_NE(mails[0].message_id, mails[1].message_id);
}

TEST(MailSenderServerTest, ARefusedLoginCarriesTheServersLine) {
  SmtpTestServer server;
  ASSERT_TRUE(server.Start());
  MailSender sender = OnlineMail(Trusting(server.certificate()), server.port(), "wrong-code");
  EXPECT_GBK_EQ(
      "SMTP登录（发送密码）失败：服务器回复："
      "535 5.7.8 Authentication credentials invalid",
      SendFailure(sender));
  EXPECT_TRUE(server.ReceivedMails().empty());
}

TEST(MailSenderServerTest, TheServerMustProveItsName) {
  SmtpTestServer server;
  SmtpServerOptions options;
  options.certificate_name = "otherhost";
  ASSERT_TRUE(server.Start(options));
  const std::string endpoint = "localhost:" + std::to_string(server.port());

  MailSender mismatched = OnlineMail(Trusting(server.certificate()), server.port());
  const std::string mismatch = SendFailure(mismatched);
  EXPECT_EQ(0u, mismatch.find("TLS握手失败（" + endpoint + "）：certificate verify failed"))
      << GbkForDisplay(mismatch);
  EXPECT_NE(std::string::npos, mismatch.find("hostname mismatch")) << GbkForDisplay(mismatch);

  TempDir elsewhere;
  std::string stranger;
  std::string key;
  ASSERT_TRUE(MakeCertificate(elsewhere.native(), "localhost", &stranger, &key));
  MailSender untrusted = OnlineMail(Trusting(stranger), server.port());
  const std::string unknown = SendFailure(untrusted);
  EXPECT_EQ(0u, unknown.find("TLS握手失败（" + endpoint + "）：certificate verify failed"))
      << GbkForDisplay(unknown);

  MailSender no_ca_file = OnlineMail(Trusting(elsewhere.native() + "/missing.pem"), server.port());
  EXPECT_EQ(0u, SendFailure(no_ca_file).find("读取CA证书文件失败（"));
  EXPECT_TRUE(server.ReceivedMails().empty());
}

constexpr char kGreetingTimedOut[] = "SMTP等待服务器问候失败：等待服务器超时";
constexpr char kGreetingTooLong[] = "SMTP等待服务器问候失败：服务器发来的一行过长";
constexpr char kRecipientRefused[] = "SMTPRCPT TO <owner@qq.com>失败：服务器回复：550 5.1.1";

// A server that misbehaves, how short the limits are, and the start of the
// failure text.
struct Misbehaviour {
  const char* mode;
  int connect_timeout_ms;
  int io_timeout_ms;
  int total_timeout_ms;
  const char* failure;
};

void PrintTo(const Misbehaviour& bad, std::ostream* out) { *out << bad.mode; }

class MailSenderMisbehavingServerTest : public ::testing::TestWithParam<Misbehaviour> {};

TEST_P(MailSenderMisbehavingServerTest, FailsWithTheStepAndReason) {
  const Misbehaviour& bad = GetParam();
  SmtpTestServer server;
  SmtpServerOptions options;
  options.mode = bad.mode;
  ASSERT_TRUE(server.Start(options));
  TlsConnectOptions connection = Trusting(server.certificate(), bad.io_timeout_ms);
  connection.connect_timeout_ms = bad.connect_timeout_ms;
  connection.total_timeout_ms = bad.total_timeout_ms;
  MailSender sender = OnlineMail(connection, server.port());
  std::string failure = bad.failure;
  if (failure.find("TLS") == 0) failure += "（localhost:" + std::to_string(server.port()) + "）";
  const std::string error = SendFailure(sender);
  EXPECT_EQ(0u, error.find(failure)) << GbkForDisplay(error);
  EXPECT_TRUE(server.ReceivedMails().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, MailSenderMisbehavingServerTest,
    ::testing::Values(Misbehaviour{"reject-sender", 10000, 10000, 30000,
                                   "SMTPMAIL FROM失败：服务器回复：550 5.7.1"},
                      Misbehaviour{"reject-recipient", 10000, 10000, 30000, kRecipientRefused},
                      Misbehaviour{"close-in-data", 10000, 10000, 30000, "SMTP发送邮件内容失败"},
                      Misbehaviour{"silent", 10000, 300, 30000, kGreetingTimedOut},
                      Misbehaviour{"trickle", 10000, 300, 30000, kGreetingTimedOut},
                      Misbehaviour{"trickle", 10000, 30000, 2000, kGreetingTimedOut},
                      Misbehaviour{"endless-line", 10000, 10000, 30000, kGreetingTooLong},
                      Misbehaviour{"no-handshake", 300, 10000, 30000, "TLS握手超时"}),
    [](const ::testing::TestParamInfo<Misbehaviour>& info) {
      std::string name = std::to_string(info.index) + "_" + info.param.mode;
      for (char& c : name) {
        if (c == '-') c = '_';
      }
      return name;
    });

}  // namespace
}  // namespace lanfeng
