#include "watch/dispatcher.h"

#include "platform/platform.h"
#include "runtime/gbk_text.h"
#include "runtime/ini_file.h"
#include "watch/account_mail.h"
#include "watch/account_state.h"

namespace lanfeng {
namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Wildcard match, whole characters, ASCII letters folded. Iterative: "*"
// remembers where to resume, so no input makes it recurse or backtrack
// more than once per star.
bool WildcardMatch(const std::string& name, const std::string& pattern) {
  size_t n = 0, p = 0, star = std::string::npos, resume = 0;
  while (n < name.size()) {
    size_t name_length = GbkCharLength(name, n);
    if (p < pattern.size() && pattern[p] == '*') {
      star = ++p;
      resume = n;
      continue;
    }
    if (p < pattern.size()) {
      size_t pattern_length = GbkCharLength(pattern, p);
      bool same = pattern[p] == '?' ||
                  (pattern_length == name_length &&
                   (name_length == 1 ? Fold(name[n]) == Fold(pattern[p])
                                     : name.compare(n, 2, pattern, p, 2) == 0));
      if (same) {
        n += name_length;
        p += pattern_length;
        continue;
      }
    }
    if (star == std::string::npos) return false;
    p = star;
    resume += GbkCharLength(name, resume);
    n = resume;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

constexpr char kRemovedTrue[] = "真";
constexpr char kRemovedFalse[] = "假";

// Moves one account out of its pending state and mails it. A state that
// cannot be written leaves the account for a later pass: mailing it without
// the handled state on record would mail it again every pass.
void DispatchAccount(WatchContext& watch, const DataPaths& data, const std::string& account,
                     bool remove_offline) {
  const std::string record = data.RecordPath(account);
  // The record is read once, before the handled state is written: what the
  // mail needs from it is then in hand, and a record that cannot be read is
  // simply left for a later pass.
  std::string contents;
  if (!ReadIniFile(record, &contents)) return;
  auto next = StateAfterDispatch(ParseAccountState(IniValue(contents, kStateSection, kStateKey)));
  if (!next) return;
  if (!WriteIniKey(record, kStateSection, kStateKey, AccountStateText(*next))) {
    watch.host.Log("QQ账号：" + account + "——通知状态无法写入记录，本次不发送邮件，留待下次处理！");
    return;
  }
  const bool online = *next == AccountState::kOnlineNotified;
  SendAccountMail(watch, data, contents, account, AccountMailbox(account), online);
  if (online || !remove_offline) return;
  watch.host.Log("已开启删除离线账号");
  const bool removed = watch.host.DeleteAccount(account);
  watch.host.Log("删除离线账号：" + account + "删除状态：" + (removed ? kRemovedTrue : kRemovedFalse));
}

}  // namespace

std::vector<std::string> ListRecordFiles(const std::string& directory, const std::string& pattern) {
  std::vector<std::string> all, matching;
  if (!CurrentPlatform().ListFiles(directory, &all).ok()) return matching;
  for (std::string& name : all) {
    if (WildcardMatch(name, pattern)) matching.push_back(std::move(name));
    RunPendingTasks();
  }
  return matching;
}

std::string AccountFromFileName(const std::string& file_name) {
  size_t found = file_name.find(".ini");
  return found == std::string::npos ? "" : file_name.substr(0, found);
}

bool DispatchPass(WatchContext& watch) {
  HostApi& host = watch.host;
  host.Log("线程2号，已启动，正在处理数据！");
  DataPaths data = watch.paths.Refresh();
  if (!data.LoadSettings()) {
    host.Log(kSettingsUnreadableLine);
    return false;
  }
  const bool watching = SwitchIsOn(data.ReadSetting(kWatchSwitchKey));
  const bool remove_offline = SwitchIsOn(data.ReadSetting(kDeleteOfflineKey));
  if (!watching || !data.configured()) return false;
  const TaskQueueRef this_thread = ThisThreadQueue();
  for (const std::string& name : ListRecordFiles(data.RecordsDirectory(), "*.ini")) {
    // Unloading: the accounts not yet handled stay due for the next load,
    // instead of each being marked handled and its mail cut short.
    if (StopRequested(this_thread)) break;
    const std::string account = AccountFromFileName(name);
    if (IsSafeAccountName(account)) DispatchAccount(watch, data, account, remove_offline);
  }
  host.Log("线程2号，等待70秒后在接着处理数据！");
  return true;
}

}  // namespace lanfeng
