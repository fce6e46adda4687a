#include "support/watch_fixture.h"

#include "bot_sim.h"
#include "dulu_host.h"
#include "host/typed_hash_map.h"
#include "host_calls.h"
#include "runtime/directories.h"
#include "runtime/ini_file.h"
#include "xlz_host.h"

namespace lanfeng {
namespace {

void RecordDrCall(const char* api, const char* arguments) { hostsim::RecordCall(api, {arguments}); }

}  // namespace

WatchFixture::WatchFixture() {
  BotSim_SetSink(RecordDrCall);
  BotSim_SetLists(nullptr, nullptr);
  hostsim::SetXlzAccountList("{\"QQlist\":{}}");
  hostsim::SetDuluAccountList("{}");
  hostsim::SetXlzDeleteAnswer("0");
  hostsim::SetDuluDeleteStatus(1);
  paths_.SetPluginDirectory(dir_.path());
  EnsureDirectory(paths_.PluginDirectory());
  WriteIniKey(paths_.BaseConfigPath(), kPathSection, kPathKey, dir_.path() + "\\data");
  EnsureDirectory(dir_.path() + "\\data\\");
  SetSetting(kWatchSwitchKey, "1");
  SetSetting(kMailAccountKey, "10000@qq.com");
  SetSetting(kMailAuthCodeKey, "secret-code");
  SetSetting(kOnlineTemplateKey, "账号：【账号号码】上线");
  SetSetting(kOfflineTemplateKey, "账号：【账号号码】下线");
  watch_.send_mail = [this](MailSender&, std::string* error) {
    ++mails_;
    if (!fail_mail_.empty()) *error = fail_mail_;
    return fail_mail_.empty();
  };
  hostsim::TakeCalls();
}

WatchFixture::~WatchFixture() {
  BotSim_SetSink(nullptr);
  hostsim::TakeCalls();
}

void WatchFixture::UseHost(HostKind kind) {
  host_kind_ = kind;
  if (kind == kXlzHost) xlz_.AttachHost(hostsim::kXlzPluginKey, hostsim::XlzApiList());
  if (kind == kDuluHost) {
    auto table = std::make_shared<TypedHashMap>();
    LoadApiTable(static_cast<HostAddress>(hostsim::DuluApiSupplier()), table.get());
    dulu_.Attach(table, "sig");
  }
  hostsim::TakeCalls();
}

void WatchFixture::SetSetting(const std::string& key, const std::string& value) {
  ASSERT_TRUE(WriteIniKey(dir_.path() + "\\data\\数据配置.ini", kDataSection, key, value));
}

void WatchFixture::SetState(const std::string& account, const std::string& state) {
  EnsureDirectory(dir_.path() + "\\data\\账号记录\\");
  ASSERT_TRUE(WriteIniKey(RecordPath(account), kStateSection, kStateKey, state));
}

std::string WatchFixture::RecordPath(const std::string& account) {
  return dir_.path() + "\\data\\账号记录\\" + account + ".ini";
}

std::string WatchFixture::State(const std::string& account) {
  return ReadIniKey(RecordPath(account), kStateSection, kStateKey);
}

std::vector<std::string> WatchFixture::LogLines() {
  std::vector<std::string> lines;
  const std::string prefix = kLogPrefix;
  for (const std::string& call : hostsim::TakeCalls()) {
    size_t start = call.find(prefix);
    if (start == std::string::npos) continue;
    std::string line = call.substr(start + prefix.size());
    if (call.rfind("Api_OutPutLog|", 0) != 0) line = line.substr(0, line.find('|'));
    lines.push_back(line);
  }
  return lines;
}

bool WatchFixture::Contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line == text) return true;
  }
  return false;
}

}  // namespace lanfeng
