#include "owner/private_commands.h"

#include "net/regex_matcher.h"
#include "runtime/gbk_text.h"
#include "runtime/ini_file.h"
#include "watch/account_mail.h"

namespace lanfeng {
namespace {

// The position after the last whole-character occurrence of word in text.
size_t AfterLastOccurrence(const std::string& text, const std::string& word) {
  size_t after = std::string::npos;
  for (size_t pos = 0; pos < text.size(); pos += GbkCharLength(text, pos)) {
    if (text.compare(pos, word.size(), word) == 0) after = pos + word.size();
  }
  return after;
}

void Reply(WatchContext& watch, const std::string& robot, const std::string& sender,
           const std::string& text) {
  watch.host.SendMessage(robot, "", sender, text, kFriendMessage);
}

// Writes one forwarding key of the sender's record; false when it could not.
bool WriteForwardKey(const DataPaths& data, const std::string& account, const char* key,
                     const std::string& value) {
  return data.configured() && IsSafeAccountName(account) &&
         WriteIniKey(data.RecordPath(account), kForwardSection, key, value);
}

}  // namespace

void HandlePrivateCommand(WatchContext& watch, const std::string& robot, const std::string& sender,
                          const std::string& message) {
  if (sender != robot) return;
  const DataPaths data = watch.paths.Refresh();
  data.EnsureRecordsDirectory();

  if (message == kMenuCommand) {
    Reply(watch, robot, sender, kMenuReply);
    return;
  }
  if (message == kForwardOnCommand || message == kForwardOffCommand) {
    const bool saved =
        WriteForwardKey(data, sender, kForwardSwitchKey, message == kForwardOnCommand ? "1" : "0");
    Reply(watch, robot, sender, saved ? kDoneReply : kNotSavedReply);
    return;
  }
  const std::string set_word = kSetForwardCommand;
  if (message.compare(0, set_word.size(), set_word) != 0) return;
  const std::string digits = ExtractDigits(message.substr(AfterLastOccurrence(message, set_word)));
  if (digits.empty()) {
    Reply(watch, robot, sender, kSetForwardErrorReply);
    return;
  }
  const std::string mailbox = AccountMailbox(digits);
  if (!WriteForwardKey(data, sender, kForwardMailboxKey, mailbox)) {
    Reply(watch, robot, sender, kNotSavedReply);
    return;
  }
  Reply(watch, robot, sender,
        "——已设置转移通知账号——\r\n" + mailbox + "\r\n————————\r\n以后该QQ上线/下线都会通知这个邮箱了！");
}

}  // namespace lanfeng
