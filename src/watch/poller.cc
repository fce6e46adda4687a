#include "watch/poller.h"

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/gbk_text.h"
#include "runtime/ini_file.h"
#include "watch/account_state.h"
#include "watch/json_path_reader.h"

namespace lanfeng {
namespace {

// The host's texts that mean logged in or out.
constexpr char kLoggedIn[] = "登录成功";
constexpr char kXlzLapsed[] = "登录失效";
constexpr char kXlzLoggedOff[] = "下线成功";
constexpr char kDuluLapsed[] = "你的帐号当前登录已失效，请重新登录。";
constexpr char kDuluOfflineStatus[] = "0";

// One account's record, read once and written at most once. A record that
// exists but cannot be read is left as it is: judging it from an empty read
// would move a handled state back to pending and mail the change again.
class AccountRecordState {
 public:
  AccountRecordState(const DataPaths& data, const std::string& account)
      : account_(account), record_(data.RecordPath(account)) {
    std::string contents;
    readable_ = ReadIniFile(record_, &contents);
    read_ = ParseAccountState(IniValue(contents, kStateSection, kStateKey));
  }

  // Applies a report judged by the state read at first; a later report
  // overrides an earlier one, as consecutive writes would.
  void Report(bool online) {
    if (auto next = StateAfterReport(read_, online)) final_ = next;
  }
  // Writes the final state, once, if a report called for one.
  void Write(HostApi& host) const {
    if (!final_) return;
    if (!readable_) {
      host.Log("QQ账号：" + account_ + "——账号记录无法读取，本次不更新状态！");
      return;
    }
    WriteIniKey(record_, kStateSection, kStateKey, AccountStateText(*final_));
  }

 private:
  std::string account_;
  std::string record_;
  bool readable_ = false;
  AccountState read_ = AccountState::kUnseen;
  std::optional<AccountState> final_;
};

// The CR LF separated numbers of a DR list, empty pieces dropped.
std::vector<std::string> SplitDrList(const std::string& list) {
  std::vector<std::string> accounts;
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t end = list.find("\r\n", begin);
    if (end == std::string::npos) end = list.size();
    if (end > begin) accounts.push_back(list.substr(begin, end - begin));
    begin = end + 2;
  }
  return accounts;
}

// Unloading: a pass stops before its next account (the rest are polled
// after the next load), so that the host's unload is not held up by a long
// list.
bool Unloading(const TaskQueueRef& this_thread) { return StopRequested(this_thread); }

void PollDr(WatchContext& watch, const DataPaths& data) {
  const TaskQueueRef this_thread = ThisThreadQueue();
  for (const std::string& account : SplitDrList(watch.dr.GetOnLineList())) {
    if (Unloading(this_thread)) return;
    if (!IsSafeAccountName(account)) continue;
    AccountRecordState state(data, account);
    watch.host.Log("DR在线账号：" + account);
    state.Report(true);
    state.Write(watch.host);
  }
  for (const std::string& account : SplitDrList(watch.dr.GetOffLineList())) {
    if (Unloading(this_thread)) return;
    if (!IsSafeAccountName(account)) continue;
    AccountRecordState state(data, account);
    watch.host.Log("DR离线账号：" + account);
    state.Report(false);
    state.Write(watch.host);
  }
}

void PollXlz(WatchContext& watch, const DataPaths& data, JsonPathReader& reader) {
  if (!reader.Parse(watch.xlz.GetFrameworkQq())) return;
  const TaskQueueRef this_thread = ThisThreadQueue();
  // For each account A: QQlist['A'].登录信息.
  reader.ReadMemberFields("QQlist", {"登录信息"}, [&](const std::string& account,
                                                      const std::vector<std::string>& texts) {
    if (Unloading(this_thread) || !IsSafeAccountName(account)) return;
    const std::string& info = texts[0];
    AccountRecordState state(data, account);
    if (info == kLoggedIn) state.Report(true);
    if (info == kXlzLapsed || info == kXlzLoggedOff) state.Report(false);
    state.Write(watch.host);
  });
}

void PollDulu(WatchContext& watch, const DataPaths& data, JsonPathReader& reader) {
  if (!reader.Parse(watch.dulu.GetFrameworkAccounts())) return;
  const TaskQueueRef this_thread = ThisThreadQueue();
  // For each account A: ['A'].附加信息 and ['A'].状态.
  reader.ReadMemberFields("", {"附加信息", "状态"}, [&](const std::string& account,
                                                       const std::vector<std::string>& texts) {
    if (Unloading(this_thread) || !IsSafeAccountName(account)) return;
    const std::string& info = texts[0];
    const std::string& status = texts[1];
    AccountRecordState state(data, account);
    if (info == kLoggedIn) state.Report(true);
    if (info == kDuluLapsed) state.Report(false);
    if (status == kDuluOfflineStatus) state.Report(false);
    state.Write(watch.host);
  });
}

}  // namespace

bool PollPass(WatchContext& watch) {
  watch.host.Log("线程1号，已启动，正在处理数据！");
  DataPaths data = watch.paths.Refresh();
  data.EnsureRecordsDirectory();
  if (!data.LoadSettings()) {
    watch.host.Log(kSettingsUnreadableLine);
  } else if (SwitchIsOn(data.ReadSetting(kWatchSwitchKey))) {
    PollAccounts(watch, data, watch.host_kind.load(std::memory_order_acquire));
  }
  watch.host.Log("线程1号，等待60秒后在接着处理数据！");
  return true;
}

void PollAccounts(WatchContext& watch, const DataPaths& data, int32_t host_kind) {
  JsonPathReader reader("da");
  reader.Initialize();
  watch.host.Log("线程1—1号，已启动，正在处理数据！");
  if (!data.configured()) return;
  switch (host_kind) {
    case kDrHost: PollDr(watch, data); break;
    case kXlzHost: PollXlz(watch, data, reader); break;
    case kDuluHost: PollDulu(watch, data, reader); break;
    default: break;
  }
}

}  // namespace lanfeng
