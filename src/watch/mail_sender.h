// MailSender: one outgoing mail object, made for one operation and released
// at its end. The caller sets the server and login (Init), the sender, the
// receivers, the subject and the HTML content, all GBK texts, and Send
// submits one mail over SMTP with implicit TLS. Nothing throws: a send is
// judged by its error text.
#pragma once

#include <string>
#include <vector>

#include "net/tls_stream.h"
#include "watch/mail_message.h"

namespace lanfeng {

// The failure texts of Send's checks, in the order it makes them.
inline constexpr const char kNoMailAccountText[] = "邮件发送账号不能为空";
inline constexpr const char kNoMailPasswordText[] = "邮件发送密码不能为空";
inline constexpr const char kNoSenderText[] = "发件人地址不能为空";
inline constexpr const char kNoReceiverText[] = "收件人不能为空";
inline constexpr const char kNoSubjectText[] = "邮件标题不能为空";
inline constexpr const char kNoContentText[] = "邮件内容不能为空";
inline constexpr const char kNoMailServerText[] = "邮件服务器不能为空";
// The mailbox password never travels unencrypted: a send with TLS off fails.
inline constexpr const char kPlainSmtpRefusedText[] = "未开启TLS，不以明文发送邮件";

class MailSender {
 public:
  // Connections trust the CA file of the environment (or the system's
  // store) and keep the standard time limits (MailConnectionOptions).
  MailSender();
  // Connections use the CA file and time limits of `connection`; its host
  // and port are ignored in favour of Init's.
  explicit MailSender(const TlsConnectOptions& connection);

  // The server (TLS on: implicit TLS from the first byte) and the SMTP
  // login: the mailbox's address and its authorization code.
  void Init(bool tls, const std::string& host, int port, const std::string& account,
            const std::string& password);

  // The sender's address and display name. A malformed address (see
  // IsValidMailAddress; a CR or LF makes any address malformed) is refused:
  // false, and the sender address stays empty, so Send uses the account.
  bool SetSender(const std::string& address, const std::string& name);

  // Appends a receiver with an optional display name; false, and nothing
  // added, for an empty or malformed address. Receivers stay for every later
  // Send until ClearReceivers.
  bool AddReceiver(const std::string& address, const std::string& name = std::string());
  void ClearReceivers();

  void SetSubject(const std::string& subject);
  // The HTML body.
  void SetContent(const std::string& content);

  // Submits the mail to every receiver. An empty sender address becomes the
  // account first. Then the first of these checks that fails ends the send
  // with its text, before anything goes on the network: account, password,
  // sender (empty or malformed), receivers, subject, content, server host.
  // A failed connection, handshake, login or SMTP step gives the client's
  // description of it (GBK). On success *error is left as it was.
  bool Send(std::string* error);

 private:
  const char* FailedCheck() const;
  MailMessage ComposeUtf8Message() const;

  TlsConnectOptions connection_;
  bool tls_ = false;
  std::string account_;
  std::string password_;
  Mailbox sender_;
  std::vector<Mailbox> receivers_;
  std::string subject_;
  std::string content_;
};

}  // namespace lanfeng
