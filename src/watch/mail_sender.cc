#include "watch/mail_sender.h"

#include <memory>

#include "platform/platform.h"
#include "runtime/gbk_text.h"
#include "watch/mail_service.h"
#include "watch/smtp_client.h"

namespace lanfeng {
namespace {

// GBK to UTF-8; a character without a counterpart becomes "?" instead of
// failing the whole mail.
std::string ToUtf8(const std::string& gbk) {
  std::string utf8;
  if (GbkToUtf8(gbk, &utf8)) return utf8;
  utf8.clear();
  for (size_t pos = 0; pos < gbk.size();) {
    const size_t length = GbkCharLength(gbk, pos);
    std::string one;
    utf8 += GbkToUtf8(gbk.substr(pos, length), &one) ? one : "?";
    pos += length;
  }
  return utf8;
}

}  // namespace

MailSender::MailSender() : MailSender(MailConnectionOptions()) {}

MailSender::MailSender(const TlsConnectOptions& connection) : connection_(connection) {}

void MailSender::Init(bool tls, const std::string& host, int port, const std::string& account,
                      const std::string& password) {
  tls_ = tls;
  connection_.host = host;
  connection_.port = port;
  account_ = account;
  password_ = password;
}

bool MailSender::SetSender(const std::string& address, const std::string& name) {
  const bool accepted = address.empty() || IsValidMailAddress(address);
  sender_ = Mailbox{accepted ? address : std::string(), name};
  return accepted;
}

bool MailSender::AddReceiver(const std::string& address, const std::string& name) {
  if (!IsValidMailAddress(address)) return false;
  receivers_.push_back(Mailbox{address, name});
  return true;
}

void MailSender::ClearReceivers() { receivers_.clear(); }

void MailSender::SetSubject(const std::string& subject) { subject_ = subject; }

void MailSender::SetContent(const std::string& content) { content_ = content; }

// The text of the first check that fails, or null.
const char* MailSender::FailedCheck() const {
  if (account_.empty()) return kNoMailAccountText;
  if (password_.empty()) return kNoMailPasswordText;
  if (!IsValidMailAddress(sender_.address)) return kNoSenderText;
  if (receivers_.empty()) return kNoReceiverText;
  if (subject_.empty()) return kNoSubjectText;
  if (content_.empty()) return kNoContentText;
  if (connection_.host.empty()) return kNoMailServerText;
  return nullptr;
}

// The mail with every text converted to UTF-8, dated now.
MailMessage MailSender::ComposeUtf8Message() const {
  MailMessage message;
  message.from = Mailbox{sender_.address, ToUtf8(sender_.name)};
  for (const Mailbox& receiver : receivers_) {
    message.to.push_back(Mailbox{receiver.address, ToUtf8(receiver.name)});
  }
  message.subject = ToUtf8(subject_);
  message.html_body = ToUtf8(content_);
  message.date = CurrentMailDate();
  Platform& platform = CurrentPlatform();
  const uint64_t unique = (uint64_t{platform.Random()} << 32) | platform.Random();
  message.message_id = NewMessageId(sender_.address, unique);
  return message;
}

bool MailSender::Send(std::string* error) {
  std::string unused;
  if (error == nullptr) error = &unused;
  if (sender_.address.empty()) sender_.address = account_;
  if (const char* failed = FailedCheck()) {
    *error = failed;
    return false;
  }
  if (!tls_) {
    *error = kPlainSmtpRefusedText;
    return false;
  }
  SmtpSubmission submission;
  submission.login = ToUtf8(account_);
  submission.password = ToUtf8(password_);
  submission.sender = sender_.address;
  for (const Mailbox& receiver : receivers_) submission.recipients.push_back(receiver.address);
  submission.message = ComposeMessage(ComposeUtf8Message());

  std::string failure;
  std::unique_ptr<TlsStream> stream = ConnectTls(connection_, &failure);
  const bool sent = stream != nullptr && SubmitMail(*stream, submission, &failure);
  if (stream != nullptr) stream->Close();
  if (!sent) *error = failure;
  return sent;
}

}  // namespace lanfeng
