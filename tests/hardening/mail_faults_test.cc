// Every way a mail can fail, tried against the real local SMTP server: each
// ends in its own "发送邮件失败——" line within the mail time limits, and the
// dispatcher's pass goes on with the next account.
//
// Two accounts are due a mail in one pass. Where the server can misbehave on
// one connection only, it does so on the first, and the second account's
// mail must arrive; where the fault is on our side of the server (nothing
// listening, a certificate we must refuse, a wrong authorization code) both
// mails fail, each with its own line, and both accounts are handled.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "runtime/gbk_text.h"
#include "support/gbk_text_testing.h"
#include "support/smtp_test_server.h"
#include "support/watch_fixture.h"
#include "watch/dispatcher.h"
#include "watch/mail_sender.h"

namespace lanfeng {
namespace {

// What the test changes around the server to make the fault.
enum class Setup {
  kServerMode,            // the server's --mode does it
  kNothingListening,      // the mails go to a port nobody listens on
  kUntrustedCertificate,  // the CA file holds another certificate than the server's
  kWrongHostName,         // the server's certificate names another host
  kWrongLogin,            // the server expects another authorization code
};

struct MailFault {
  const char* name;
  Setup setup;
  const char* mode;
  // Only the first connection misbehaves, so the second mail arrives.
  bool first_connection_only;
  int timeout_ms;  // LANFENG_SMTP_TIMEOUT_MS
  int trickle_delay_ms;
  // The logged reason, exactly; "{endpoint}" stands for localhost:port and
  // "{mailbox}" for the receiver. Empty for the trickling server, whose
  // reason depends on the step the total limit falls in.
  const char* reason;
};

void PrintTo(const MailFault& fault, std::ostream* out) { *out << fault.name; }

constexpr char kFailedLine[] = "发送邮件失败——发送邮箱账号：";
constexpr char kReasonPart[] = "——失败原因：";
constexpr char kSentLine[] = "发送邮件成功——发送邮箱账号：";
constexpr char kMailboxLine[] = "发送邮箱账号：";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

class MailFaultsTest : public WatchFixture, public ::testing::WithParamInterface<MailFault> {
 protected:
  void SetUp() override { UseHost(kDrHost); }
  void TearDown() override {
    for (const char* name : {"LANFENG_SMTP_HOST", "LANFENG_SMTP_PORT", "LANFENG_SMTP_CA_FILE",
                             "LANFENG_SMTP_TIMEOUT_MS"}) {
      unsetenv(name);
    }
  }

  // Starts the server the fault asks for and points the plugin's mails at
  // it; each mail's time is kept in took_ms_.
  void StartFaultyServer(const MailFault& fault) {
    SmtpServerOptions options;
    options.user = "10000@qq.com";
    options.password = fault.setup == Setup::kWrongLogin ? "another-code" : "secret-code";
    options.certificate_name = fault.setup == Setup::kWrongHostName ? "otherhost" : "localhost";
    options.mode = fault.mode;
    options.trickle_delay_ms = fault.trickle_delay_ms;
    options.faulty_connections = fault.first_connection_only ? 1 : 0;
    ASSERT_TRUE(server_.Start(options));
    int port = server_.port();
    std::string ca_file = server_.certificate();
    if (fault.setup == Setup::kNothingListening) port = refusing_.port();
    if (fault.setup == Setup::kUntrustedCertificate) {
      std::string key;
      ASSERT_TRUE(MakeCertificate(stranger_dir_.native(), "localhost", &ca_file, &key));
    }
    endpoint_ = "localhost:" + std::to_string(port);
    setenv("LANFENG_SMTP_HOST", "localhost", 1);
    setenv("LANFENG_SMTP_PORT", std::to_string(port).c_str(), 1);
    setenv("LANFENG_SMTP_CA_FILE", ca_file.c_str(), 1);
    setenv("LANFENG_SMTP_TIMEOUT_MS", std::to_string(fault.timeout_ms).c_str(), 1);
    watch_.send_mail = [this](MailSender& sender, std::string* error) {
      const auto start = std::chrono::steady_clock::now();
      const bool sent = SendOverSmtp(sender, error);
      took_ms_.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count());
      return sent;
    };
  }

  std::string ExpectedReason(const MailFault& fault, const std::string& mailbox) const {
    return Replace(Replace(fault.reason, "{endpoint}", endpoint_), "{mailbox}", mailbox);
  }

  SmtpTestServer server_;
  RefusingPort refusing_;
  TempDir stranger_dir_;
  std::string endpoint_;
  std::vector<long long> took_ms_;
};

TEST_P(MailFaultsTest, TheFailureIsLoggedAndThePassGoesOnWithTheNextAccount) {
  const MailFault& fault = GetParam();
  StartFaultyServer(fault);
  SetState("10001", "1");
  SetState("10002", "3");

  EXPECT_TRUE(DispatchPass(watch_)) << "the pass ran to its end";

  const std::vector<std::string> lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("线程2号，等待70秒后在接着处理数据！", lines.back()) << "the pass finished";
  std::vector<std::string> order;  // the receivers in the order they were mailed
  std::vector<std::string> failures, successes;
  for (const std::string& line : lines) {
    if (StartsWith(line, kMailboxLine)) order.push_back(line.substr(sizeof kMailboxLine - 1));
    if (StartsWith(line, kFailedLine)) failures.push_back(line);
    if (StartsWith(line, kSentLine)) successes.push_back(line);
    EXPECT_EQ(std::string::npos, line.find("secret-code")) << "the authorization code never shows";
  }
  ASSERT_EQ(2u, order.size()) << "both accounts were mailed";
  EXPECT_EQ("2", State("10001"));
  EXPECT_EQ("4", State("10002"));

  const size_t expected_failures = fault.first_connection_only ? 1 : 2;
  ASSERT_EQ(expected_failures, failures.size());
  for (size_t i = 0; i < failures.size(); ++i) {
    const std::string prefix = kFailedLine + order[i] + kReasonPart;
    ASSERT_TRUE(StartsWith(failures[i], prefix)) << GbkForDisplay(failures[i]);
    const std::string reason = failures[i].substr(prefix.size());
    if (*fault.reason != '\0') {
      EXPECT_GBK_EQ(ExpectedReason(fault, order[i]), reason);
    } else {
      // Every reply line came within the per-reply limit, so the total limit
      // stopped the exchange past the greeting and EHLO.
      EXPECT_TRUE(StartsWith(reason, "SMTP")) << GbkForDisplay(reason);
      EXPECT_EQ(std::string::npos, reason.find("等待服务器问候")) << GbkForDisplay(reason);
      EXPECT_FALSE(StartsWith(reason, "SMTPEHLO")) << GbkForDisplay(reason);
      const std::string timed_out = std::string("失败：") + kStreamTimedOutText;
      EXPECT_EQ(reason.size() - timed_out.size(), reason.rfind(timed_out)) << GbkForDisplay(reason);
    }
  }
  if (fault.first_connection_only) {
    EXPECT_EQ(std::vector<std::string>{kSentLine + order[1]}, successes);
    const std::vector<ReceivedMail> mails = server_.ReceivedMails();
    ASSERT_EQ(1u, mails.size()) << "the next account's mail arrived";
    EXPECT_EQ(std::vector<std::string>{order[1]}, mails[0].rcpt_tos);
  } else {
    EXPECT_TRUE(successes.empty());
    EXPECT_TRUE(server_.ReceivedMails().empty());
  }

  ASSERT_EQ(2u, took_ms_.size());
  std::printf("[ mail fault ] %s: first mail %lld ms, second mail %lld ms\n  %s\n", fault.name,
              took_ms_[0], took_ms_[1], GbkForDisplay(failures[0]).c_str());
  RecordProperty("failing_mail_ms", static_cast<int>(took_ms_[0]));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MailFaultsTest,
    ::testing::Values(
        MailFault{"nothing_listening", Setup::kNothingListening, "normal", false, 1500, 0,
                  "连接服务器失败（{endpoint}）：Connection refused"},
        MailFault{"untrusted_certificate", Setup::kUntrustedCertificate, "normal", false, 1500, 0,
                  "TLS握手失败（{endpoint}）：certificate verify failed"
                  "（服务器证书：self-signed certificate）"},
        MailFault{"wrong_host_name", Setup::kWrongHostName, "normal", false, 1500, 0,
                  "TLS握手失败（{endpoint}）：certificate verify failed"
                  "（服务器证书：hostname mismatch）"},
        MailFault{
            "wrong_login", Setup::kWrongLogin, "normal", false, 1500, 0,
            "SMTP登录（发送密码）失败：服务器回复：535 5.7.8 Authentication credentials invalid"},
        MailFault{
            "rejected_sender", Setup::kServerMode, "reject-sender", true, 1500, 0,
            "SMTPMAIL FROM失败：服务器回复：550 5.7.1 Sender address rejected: not owned by user"},
        MailFault{"rejected_receiver", Setup::kServerMode, "reject-recipient", true, 1500, 0,
                  "SMTPRCPT TO <{mailbox}>失败：服务器回复："
                  "550 5.1.1 Recipient address rejected: mailbox unavailable"},
        MailFault{"closed_during_data", Setup::kServerMode, "close-in-data", true, 1500, 0,
                  "SMTP发送邮件内容失败：服务器断开了连接"},
        MailFault{"silent_during_data", Setup::kServerMode, "silent-in-data", true, 1500, 0,
                  "SMTP发送邮件内容失败：等待服务器超时"},
        MailFault{"no_greeting", Setup::kServerMode, "silent", true, 1500, 0,
                  "SMTP等待服务器问候失败：等待服务器超时"},
        MailFault{"no_tls_handshake", Setup::kServerMode, "no-handshake", false, 1500, 0,
                  "TLS握手超时（{endpoint}）"},
        MailFault{"endless_greeting_line", Setup::kServerMode, "endless-line", true, 1500, 0,
                  "SMTP等待服务器问候失败：服务器发来的一行过长"},
        // Each reply line takes under half the 2-second per-reply limit, the
        // whole dialogue far more than the 6-second total.
        MailFault{"trickling_replies", Setup::kServerMode, "trickle", true, 2000, 24, ""}),
    [](const ::testing::TestParamInfo<MailFault>& info) { return std::string(info.param.name); });

// The library is unloaded while a mail waits on a silent server whose time
// limits are far beyond the test's own: the stop request ends the exchange
// at once, and the pass ends before the next account, which stays due.
TEST_F(MailFaultsTest, AStopRequestEndsTheMailUnderWayAndLeavesTheNextAccountDue) {
  MailFault silent{"stopped", Setup::kServerMode, "silent", false, 300000, 0, ""};
  StartFaultyServer(silent);
  SetState("10001", "1");
  SetState("10002", "3");
  std::promise<TaskQueueRef> queue;
  std::thread worker([&] {
    queue.set_value(ThisThreadQueue());
    DispatchPass(watch_);
  });
  const TaskQueueRef worker_queue = queue.get_future().get();
  // The handshake takes milliseconds; then the worker waits for the greeting.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  RequestStop(worker_queue);
  worker.join();

  std::vector<std::string> failures;
  for (const std::string& line : LogLines()) {
    if (StartsWith(line, kFailedLine)) failures.push_back(line);
  }
  ASSERT_EQ(1u, failures.size());
  const bool first_was_10001 = State("10001") == "2";
  const std::string mailbox = first_was_10001 ? "10001@qq.com" : "10002@qq.com";
  EXPECT_GBK_EQ(
      kFailedLine + mailbox + kReasonPart + "SMTP等待服务器问候失败：" + kStreamStoppedText,
      failures[0]);
  EXPECT_EQ(first_was_10001 ? "3" : "4", State("10002")) << "one account handled, the other due";
  EXPECT_EQ(first_was_10001 ? "2" : "1", State("10001"));
  ASSERT_EQ(1u, took_ms_.size());
  std::printf("[ mail fault ] stopped: the mail under way ended %lld ms after it began\n",
              took_ms_[0]);
}

}  // namespace
}  // namespace lanfeng
