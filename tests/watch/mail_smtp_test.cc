#include <gtest/gtest.h>

#include "support/gbk_text_testing.h"
#include "watch/smtp_client.h"

namespace lanfeng {
namespace {

constexpr char kTimeOut[] = "<time out>";

// A server that answers from a script, one line per ReadLine, whatever the
// client wrote; it records every byte the client wrote. Past the script's
// end the connection is closed; the line kTimeOut stands for a timeout.
class ScriptedStream : public TlsStream {
 public:
  explicit ScriptedStream(std::vector<std::string> lines) : lines_(std::move(lines)) {}

  bool Write(const std::string& data) override {
    written_ += data;
    return true;
  }
  bool ReadLine(std::string* line) override {
    if (next_ >= lines_.size()) error_ = kStreamClosedText;
    if (next_ < lines_.size() && lines_[next_] == kTimeOut) error_ = kStreamTimedOutText;
    if (!error_.empty()) return false;
    *line = lines_[next_++];
    return true;
  }
  void Close() override {}
  const std::string& error() const override { return error_; }
  std::string LocalAddressLiteral() const override { return "[192.0.2.7]"; }

  const std::string& written() const { return written_; }

 private:
  std::vector<std::string> lines_;
  size_t next_ = 0;
  std::string written_;
  std::string error_;
};

SmtpSubmission TwoRecipientMail() {
  SmtpSubmission submission;
  submission.login = "robot@qq.com";
  submission.password = "authcode";
  submission.sender = "robot@qq.com";
  submission.recipients = {"owner@qq.com", "friend@qq.com"};
  submission.message = "Subject: x\r\n\r\n.hidden\r\nbody";
  return submission;
}

// A server's answers to a whole successful submission, one per step.
std::vector<std::string> AcceptingServer() {
  return {"220 smtp.qq.com Esmtp QQ Mail Server",
          "250-smtp.qq.com",
          "250-AUTH LOGIN PLAIN",
          "250 8BITMIME",
          "334 VXNlcm5hbWU6",
          "334 UGFzc3dvcmQ6",
          "235 Authentication successful",
          "250 OK",
          "250 OK",
          "251 User not local; will forward",
          "354 End data with <CR><LF>.<CR><LF>",
          "250 OK: queued as 1",
          "221 Bye"};
}

TEST(SmtpDialogueTest, SubmitsInTheOrderOfTheProtocol) {
  ScriptedStream stream(AcceptingServer());
  std::string error;
  ASSERT_TRUE(SubmitMail(stream, TwoRecipientMail(), &error)) << error;
  EXPECT_EQ(
      "EHLO [192.0.2.7]\r\n"
      "AUTH LOGIN\r\n"
      "cm9ib3RAcXEuY29t\r\n"
      "YXV0aGNvZGU=\r\n"
      "MAIL FROM:<robot@qq.com>\r\n"
      "RCPT TO:<owner@qq.com>\r\n"
      "RCPT TO:<friend@qq.com>\r\n"
      "DATA\r\n"
      "Subject: x\r\n\r\n..hidden\r\nbody\r\n.\r\n"
      "QUIT\r\n",
      stream.written());
  EXPECT_TRUE(error.empty());
}

TEST(SmtpDialogueTest, EachRefusedStepNamesItselfAndCarriesTheReply) {
  struct Case {
    size_t answer;  // index in AcceptingServer()
    std::string refusal;
    std::string step;
    std::string last_command;
  };
  const std::vector<Case> cases = {
      {0, "554 no SMTP service here", "等待服务器问候", ""},
      {1, "502 5.5.2 Error: command not recognized", "EHLO", "EHLO [192.0.2.7]"},
      {4, "504 5.5.4 Unrecognized authentication type", "登录（AUTH LOGIN）", "AUTH LOGIN"},
      {5, "535 5.7.8 bad user", "登录（发送账号）", "cm9ib3RAcXEuY29t"},
      {6, "535 Login fail. Please enter your authorization code.", "登录（发送密码）",
       "YXV0aGNvZGU="},
      {7, "550 5.7.1 Sender address rejected", "MAIL FROM", "MAIL FROM:<robot@qq.com>"},
      {9, "550 5.1.1 Mailbox not found", "RCPT TO <friend@qq.com>", "RCPT TO:<friend@qq.com>"},
      {10, "503 5.5.1 Error: need RCPT command", "DATA", "DATA"},
      {11, "554 5.7.1 Message rejected as spam", "发送邮件内容", "."},
  };
  for (const Case& c : cases) {
    std::vector<std::string> answers = AcceptingServer();
    answers.resize(c.answer + 1);
    answers[c.answer] = c.refusal;
    ScriptedStream stream(answers);
    std::string error;
    EXPECT_FALSE(SubmitMail(stream, TwoRecipientMail(), &error));
    EXPECT_GBK_EQ("SMTP" + c.step + "失败：服务器回复：" + c.refusal, error);
    const std::string tail = c.last_command.empty() ? "QUIT\r\n" : c.last_command + "\r\nQUIT\r\n";
    EXPECT_TRUE(
        stream.written().size() >= tail.size() &&
        stream.written().compare(stream.written().size() - tail.size(), tail.size(), tail) == 0)
        << "stops at the refused step and says goodbye:\n"
        << stream.written();
  }
}

TEST(SmtpDialogueTest, RepliesOfManyLinesAndRepliesThatAreNotSmtp) {
  ScriptedStream multi_line({"220 ready", "250 ok", "334 u", "334 p",
                             "535-5.7.8 Username and Password not accepted.",
                             "535 5.7.8 Learn more at https://example.com/auth"});
  std::string error;
  EXPECT_FALSE(SubmitMail(multi_line, TwoRecipientMail(), &error));
  EXPECT_GBK_EQ(
      "SMTP登录（发送密码）失败：服务器回复："
      "535-5.7.8 Username and Password not accepted. "
      "535 5.7.8 Learn more at https://example.com/auth",
      error);

  ScriptedStream garbage({"HTTP/1.1 400 Bad Request"});
  EXPECT_FALSE(SubmitMail(garbage, TwoRecipientMail(), &error));
  const std::string at_greeting = "SMTP等待服务器问候失败：";
  EXPECT_GBK_EQ(at_greeting + "服务器回复无法识别：HTTP/1.1 400 Bad Request", error);

  ScriptedStream hostile({std::string("554 \x1b[31m") + u8"拒收" + "\x01\xff"});
  EXPECT_FALSE(SubmitMail(hostile, TwoRecipientMail(), &error));
  EXPECT_GBK_EQ(at_greeting + "服务器回复：554  [31m?????? ?", error)
      << "control characters blanked, bytes that are not UTF-8 shown as '?'";
  ScriptedStream utf8({std::string("554 ") + u8"拒收"});
  EXPECT_FALSE(SubmitMail(utf8, TwoRecipientMail(), &error));
  EXPECT_GBK_EQ(at_greeting + "服务器回复：554 拒收", error) << "UTF-8 shown as GBK";

  std::vector<std::string> endless(200, "250-more");
  endless.insert(endless.begin(), "220 ready");
  ScriptedStream flood(endless);
  EXPECT_FALSE(SubmitMail(flood, TwoRecipientMail(), &error));
  EXPECT_GBK_EQ("SMTPEHLO失败：服务器回复过长", error);
}

TEST(SmtpDialogueTest, StreamFailuresNameTheStep) {
  ScriptedStream closed({"220 ready", "250 ok", "334 u"});
  std::string error;
  EXPECT_FALSE(SubmitMail(closed, TwoRecipientMail(), &error));
  EXPECT_GBK_EQ("SMTP登录（发送账号）失败：服务器断开了连接", error);

  ScriptedStream silent({"220 ready", "250 ok", "334 u", "334 p", "235 ok", "250 ok", "250 ok",
                         "250 ok", "354 go", kTimeOut});
  EXPECT_FALSE(SubmitMail(silent, TwoRecipientMail(), &error));
  EXPECT_GBK_EQ("SMTP发送邮件内容失败：等待服务器超时", error);

  std::vector<std::string> no_goodbye = AcceptingServer();
  no_goodbye.pop_back();
  ScriptedStream accepted_then_gone(no_goodbye);
  error = "untouched";
  EXPECT_TRUE(SubmitMail(accepted_then_gone, TwoRecipientMail(), &error))
      << "the mail was accepted; the answer to QUIT does not matter";
  EXPECT_EQ("untouched", error);
}

TEST(SmtpDialogueTest, DotStuffingAndBase64) {
  EXPECT_EQ("..a\r\nb..\r\n...\r\n.\r\n", DotStuff(".a\r\nb..\r\n..\r\n"));
  EXPECT_EQ("x\r\n.\r\n", DotStuff("x")) << "the last line is ended before the end-of-data line";
  EXPECT_EQ(".\r\n", DotStuff(""));
  const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {"\xff\xfe", "//4="}};
  for (const auto& [bytes, encoded] : vectors) EXPECT_EQ(encoded, Base64Encode(bytes)) << bytes;
}

}  // namespace
}  // namespace lanfeng
