// Fuzzes the SMTP client's reading of a server: any bytes as the server's
// side of the dialogue, through a stream that serves them line by line.
//
// Input: one byte of flags (bits 0-1: one to four recipients; bits 2-7: the
// n-th write fails, 0 none), then what the server sends.
//
// Checked: the dialogue ends, with success exactly when every reply up to
// the message's acceptance was complete and of the expected class (220, 250,
// 334, 334, 235, 250, 250 per recipient, 354, 250) and no write before it
// failed; a failure has a short text naming SMTP; reads stay within the
// reply limit of every step and never go past the server's last line; the
// message goes dot-stuffed; the password never appears in a failure text
// the server did not put there itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/tls_stream.h"
#include "watch/smtp_client.h"

namespace {

// Stops the run, naming the check that failed.
void Check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "check failed at %s:%d\n", __FILE__, line);
  std::abort();
}

constexpr size_t kMaxLineBytes = 8192;  // as the TLS stream refuses longer lines
constexpr size_t kMaxReplyLines = 100;
constexpr char kPassword[] = "fuzz-secret-code";

// A server that says what the input says, a line per ReadLine, and closes
// after its last complete line.
class ScriptedServer : public lanfeng::TlsStream {
 public:
  ScriptedServer(std::string said, unsigned failing_write)
      : said_(std::move(said)), failing_write_(failing_write) {}

  bool Write(const std::string& data) override {
    ++writes_;
    if (broken_ || writes_ == failing_write_) {
      broken_ = true;
      error_ = lanfeng::kStreamClosedText;
      return false;
    }
    written_.push_back(data);
    return true;
  }
  bool ReadLine(std::string* line) override {
    ++reads_;
    if (broken_) return Broken(lanfeng::kStreamClosedText);
    const size_t end = said_.find('\n', position_);
    if (end == std::string::npos) return Broken(lanfeng::kStreamClosedText);
    if (end - position_ > kMaxLineBytes) return Broken(lanfeng::kStreamLineTooLongText);
    line->assign(said_, position_, end - position_);
    if (!line->empty() && line->back() == '\r') line->pop_back();
    position_ = end + 1;
    return true;
  }
  void Close() override { broken_ = true; }
  const std::string& error() const override { return error_; }
  std::string LocalAddressLiteral() const override { return "[192.0.2.7]"; }

  size_t reads() const { return reads_; }
  const std::vector<std::string>& written() const { return written_; }

 private:
  bool Broken(const char* reason) {
    broken_ = true;
    error_ = reason;
    return false;
  }

  std::string said_;
  unsigned failing_write_;
  size_t position_ = 0;
  unsigned writes_ = 0;
  size_t reads_ = 0;
  bool broken_ = false;
  std::vector<std::string> written_;
  std::string error_;
};

// What the server's text says, read as RFC 5321 has it: replies of lines
// "NNN-text" ending with "NNN text" or "NNN". The code of each complete
// reply, up to the first one that is not.
std::vector<int> ReplyCodes(const std::string& said) {
  std::vector<int> codes;
  size_t position = 0;
  for (;;) {
    int code = -1;
    for (size_t lines = 0; lines < kMaxReplyLines; ++lines) {
      const size_t end = said.find('\n', position);
      if (end == std::string::npos || end - position > kMaxLineBytes) return codes;
      std::string line = said.substr(position, end - position);
      position = end + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() < 3 || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) return codes;
      for (size_t i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9') return codes;
      }
      if (line.size() == 3 || line[3] == ' ') {
        code = std::stoi(line.substr(0, 3));
        break;
      }
    }
    if (code < 0) return codes;
    codes.push_back(code);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t recipients = 1 + (data[0] & 3);
  const unsigned failing_write = data[0] >> 2;
  const std::string said(reinterpret_cast<const char*>(data) + 1, size - 1);

  lanfeng::SmtpSubmission submission;
  submission.login = "10000@qq.com";
  submission.password = kPassword;
  submission.sender = "10000@qq.com";
  for (size_t i = 0; i < recipients; ++i) {
    submission.recipients.push_back("1000" + std::to_string(i + 1) + "@qq.com");
  }
  submission.message = "Subject: fuzz\r\n\r\nline\r\n.dot\r\n..\r\n.";

  ScriptedServer server(said, failing_write);
  std::string error;
  const bool sent = lanfeng::SubmitMail(server, submission, &error);

  // The replies the client must see, in order; before each but the
  // greeting, one write.
  std::vector<int> expected = {220, 250, 334, 334, 235, 250};
  expected.insert(expected.end(), recipients, 250);
  expected.push_back(354);
  expected.push_back(250);
  const std::vector<int> codes = ReplyCodes(said);
  bool should_send = codes.size() >= expected.size();
  for (size_t i = 0; should_send && i < expected.size(); ++i) {
    if (codes[i] / 100 != expected[i] / 100) should_send = false;
    if (i > 0 && failing_write == i) should_send = false;
  }
  Check(sent == should_send);

  // Each step reads at most one reply's lines; QUIT's reply is read only
  // after success.
  Check(server.reads() <= (expected.size() + (sent ? 1 : 0)) * kMaxReplyLines);
  if (sent) {
    Check(server.written().size() >= expected.size() - 1);
    Check(server.written()[expected.size() - 2] == lanfeng::DotStuff(submission.message));
    Check(lanfeng::DotStuff(submission.message) ==
          "Subject: fuzz\r\n\r\nline\r\n..dot\r\n...\r\n..\r\n.\r\n");
  } else {
    Check(error.compare(0, 4, "SMTP") == 0);
    Check(error.size() <= 700);
    if (said.find(kPassword) == std::string::npos) {
      Check(error.find(kPassword) == std::string::npos);
    }
  }
  return 0;
}
