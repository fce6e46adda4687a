#include "watch/account_mail.h"

#include "runtime/ini_file.h"
#include "watch/mail_sender.h"
#include "watch/mail_service.h"
#include "watch/mail_template.h"

namespace lanfeng {
namespace {

// What differs between the online and the offline mail.
struct MailKind {
  const char* line;        // follows "QQ账号：" + account
  const char* name;        // the sender's display name
  const char* subject;
  const char* empty_line;  // logged when the template is empty
};

constexpr MailKind kOnlineMail{"——在线中，发送通知邮件！", "上线通知！", "账号在线中，可正常使用！",
                               "上线邮件内容为空，无法发送！"};
constexpr MailKind kOfflineMail{"——掉线了，发送通知邮件！", "掉线通知！",
                                "账号掉线了，请抓紧登录，才能使用！", "下线邮件内容为空，无法发送！"};

// Sends to the receivers set and logs the outcome for receiver.
void SendAndLog(WatchContext& watch, MailSender& sender, const std::string& receiver) {
  std::string error;
  watch.send_mail(sender, &error);
  LogSendResult(watch.host, receiver, error);
}

}  // namespace

bool SendOverSmtp(MailSender& sender, std::string* error) { return sender.Send(error); }

std::string AccountMailbox(const std::string& account) { return account + "@" + kQqMailDomain; }

void LogSendResult(HostApi& host, const std::string& receiver, const std::string& error) {
  if (error.empty()) {
    host.Log("发送邮件成功——发送邮箱账号：" + receiver);
  } else {
    host.Log("发送邮件失败——发送邮箱账号：" + receiver + "——失败原因：" + error);
  }
}

void SendAccountMail(WatchContext& watch, const std::string& account, const std::string& mailbox,
                     bool online) {
  const DataPaths data = watch.paths.Refresh();
  std::string record_contents;
  ReadIniFile(data.RecordPath(account), &record_contents);
  SendAccountMail(watch, data, record_contents, account, mailbox, online);
}

void SendAccountMail(WatchContext& watch, const DataPaths& data, const std::string& record_contents,
                     const std::string& account, const std::string& mailbox, bool online) {
  MailSender sender(MailConnectionOptions());
  HostApi& host = watch.host;
  host.Log("线程2-1号，已启动，正在处理数据！");

  const std::string online_body = ExpandTemplate(data.ReadSetting(kOnlineTemplateKey), account);
  const std::string offline_body = ExpandTemplate(data.ReadSetting(kOfflineTemplateKey), account);
  const std::string login = data.ReadSetting(kMailAccountKey);
  const std::string code = data.ReadSetting(kMailAuthCodeKey);
  const std::string notify = data.ReadSetting(kNotifyMailboxKey);
  const std::string forward_switch = IniValue(record_contents, kForwardSection, kForwardSwitchKey);
  const std::string forward_mailbox = IniValue(record_contents, kForwardSection, kForwardMailboxKey);

  const MailKind& kind = online ? kOnlineMail : kOfflineMail;
  const std::string& body = online ? online_body : offline_body;
  host.Log("QQ账号：" + account + kind.line);
  host.Log("发送邮箱账号：" + mailbox);

  sender.Init(true, QqMailSmtpHost(), QqMailSmtpPort(), login, code);
  sender.SetSender(login, kind.name);
  sender.SetSubject(kind.subject);
  if (body.empty()) {
    host.Log(kind.empty_line);
    return;
  }
  sender.SetContent(body);

  std::string receiver = mailbox;
  if (SwitchIsOn(forward_switch)) {
    host.Log("邮件转移通知开关已开启——通知转移邮箱！");
    receiver = forward_mailbox;
  } else {
    host.Log("邮件转移通知开关已关闭——通知默认邮箱！");
  }
  sender.AddReceiver(receiver);
  SendAndLog(watch, sender, receiver);

  if (notify.empty()) {
    host.Log("通知QQ邮箱内容为空，不发送邮件！");
    return;
  }
  host.Log("通知QQ邮箱内容不为空，正在发送邮件！");
  sender.ClearReceivers();
  sender.AddReceiver(notify);
  SendAndLog(watch, sender, notify);
}

}  // namespace lanfeng
