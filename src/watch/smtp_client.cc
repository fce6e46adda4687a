#include "watch/smtp_client.h"

#include "platform/platform.h"
#include "runtime/gbk_text.h"

namespace lanfeng {
namespace {

// A reply of more lines than this is not a mail server talking.
constexpr size_t kMaxReplyLines = 100;
// How much of a server's reply goes into a failure text.
constexpr size_t kMaxShownReplyBytes = 512;
constexpr char kReplyTooLongText[] = "服务器回复过长";

struct Reply {
  int code = 0;
  std::string text;  // every line, joined by blanks
};

// A server's reply line made fit for a GBK log line: UTF-8 converted,
// control characters blanked, anything unconvertible shown as "?", cut to a
// readable length.
std::string ReplyForPeople(const std::string& line) {
  std::string shown = line;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  std::string gbk;
  if (!Utf8ToGbk(shown, &gbk)) {
    gbk = shown;
    for (char& c : gbk) {
      if (static_cast<unsigned char>(c) > 0x7F) c = '?';
    }
  }
  return CutAtCharBoundary(gbk, kMaxShownReplyBytes);
}

// The reply code of a line "NNN text" or "NNN-text", or -1.
int ReplyLineCode(const std::string& line) {
  if (line.size() < 3) return -1;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
  }
  if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return -1;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// One SMTP exchange: every failure is worded here.
class Dialogue {
 public:
  Dialogue(TlsStream& stream, std::string* error) : stream_(stream), error_(error) {}

  // Reads the reply of the step; true when its code is in the class of
  // `expected` (2xx or 3xx).
  bool Expect(const std::string& step, int expected) {
    Reply reply;
    if (!ReadReply(step, &reply)) return false;
    if (reply.code / 100 == expected / 100) return true;
    return Fail(step, "服务器回复：" + reply.text);
  }

  // Sends one command line and reads its reply as Expect does.
  bool Command(const std::string& step, const std::string& line, int expected) {
    return Send(step, line + "\r\n") && Expect(step, expected);
  }

  bool Send(const std::string& step, const std::string& data) {
    return stream_.Write(data) || Fail(step, stream_.error());
  }

  // Says goodbye without waiting for the answer, after a failure.
  void Abandon() { stream_.Write("QUIT\r\n"); }

 private:
  // Reads the lines of one reply up to the line "NNN text".
  bool ReadReply(const std::string& step, Reply* reply) {
    for (size_t count = 0; count < kMaxReplyLines; ++count) {
      std::string line;
      if (!stream_.ReadLine(&line)) return Fail(step, stream_.error());
      reply->code = ReplyLineCode(line);
      if (reply->code < 0) {
        return Fail(step, "服务器回复无法识别：" + ReplyForPeople(line));
      }
      if (!reply->text.empty()) reply->text += " ";
      reply->text += ReplyForPeople(line);
      if (line.size() == 3 || line[3] == ' ') return true;
    }
    return Fail(step, kReplyTooLongText);
  }

  bool Fail(const std::string& step, const std::string& reason) {
    *error_ = "SMTP" + step + "失败：" + CutAtCharBoundary(reason, kMaxShownReplyBytes);
    return false;
  }

  TlsStream& stream_;
  std::string* error_;
};

bool RunDialogue(Dialogue& smtp, TlsStream& stream, const SmtpSubmission& submission) {
  if (!smtp.Expect("等待服务器问候", 220) ||
      !smtp.Command("EHLO", "EHLO " + stream.LocalAddressLiteral(), 250) ||
      !smtp.Command("登录（AUTH LOGIN）", "AUTH LOGIN", 334) ||
      !smtp.Command("登录（发送账号）", Base64Encode(submission.login), 334) ||
      !smtp.Command("登录（发送密码）", Base64Encode(submission.password), 235) ||
      !smtp.Command("MAIL FROM", "MAIL FROM:<" + submission.sender + ">", 250)) {
    return false;
  }
  for (const std::string& recipient : submission.recipients) {
    if (!smtp.Command("RCPT TO <" + recipient + ">", "RCPT TO:<" + recipient + ">", 250)) {
      return false;
    }
  }
  return smtp.Command("DATA", "DATA", 354) &&
         smtp.Send("发送邮件内容", DotStuff(submission.message)) &&
         smtp.Expect("发送邮件内容", 250);
}

}  // namespace

bool SubmitMail(TlsStream& stream, const SmtpSubmission& submission, std::string* error) {
  Dialogue smtp(stream, error);
  if (!RunDialogue(smtp, stream, submission)) {
    smtp.Abandon();
    return false;
  }
  // The message is accepted; how the server answers QUIT changes nothing.
  std::string ignored;
  Dialogue(stream, &ignored).Command("QUIT", "QUIT", 221);
  return true;
}

std::string DotStuff(const std::string& message) {
  std::string stuffed;
  stuffed.reserve(message.size() + message.size() / 64 + 8);
  bool line_start = true;
  for (char c : message) {
    if (line_start && c == '.') stuffed += '.';
    stuffed += c;
    line_start = c == '\n';
  }
  if (!line_start) stuffed += "\r\n";
  return stuffed + ".\r\n";
}

std::string Base64Encode(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  encoded.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 2]);
    encoded += kAlphabet[(value >> 18) & 0x3F];
    encoded += kAlphabet[(value >> 12) & 0x3F];
    encoded += i + 1 < bytes.size() ? kAlphabet[(value >> 6) & 0x3F] : '=';
    encoded += i + 2 < bytes.size() ? kAlphabet[value & 0x3F] : '=';
  }
  return encoded;
}

}  // namespace lanfeng
