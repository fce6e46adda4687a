// The account watch: one poll pass and one dispatch pass over many accounts
// in the emulated hosts, and the reading of the hosts' JSON account lists
// against RapidJSON alone.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bot_sim.h"
#include "dulu_host.h"
#include "host/typed_hash_map.h"
#include "host_calls.h"
#include "platform/platform.h"
#include "runtime/directories.h"
#include "runtime/ini_file.h"
#include "watch/config.h"
#include "watch/dispatcher.h"
#include "watch/json_path_reader.h"
#include "watch/poller.h"
#include "watch/watch_context.h"
#include "xlz_host.h"

namespace lanfeng {
namespace {

constexpr char kOnline[] = "2";   // the online mail handled
constexpr char kOffline[] = "4";  // the offline mail handled
constexpr char kPending[] = "1";  // the online mail due

std::vector<std::string> Accounts(int count) {
  std::vector<std::string> accounts;
  for (int i = 0; i < count; ++i) accounts.push_back(std::to_string(1000000 + i));
  return accounts;
}

// The hosts' lists of accounts all online or all offline, as the emulator
// publishes them.
std::string DrList(const std::vector<std::string>& accounts) {
  std::string list;
  for (const std::string& account : accounts) list += account + "\r\n";
  return list;
}

std::string XlzList(const std::vector<std::string>& accounts, bool online) {
  std::string list = "{\"QQlist\":{";
  for (const std::string& account : accounts) {
    list += std::string(list.back() == '{' ? "" : ",") + "\"" + account + "\":{\"登录信息\":\"" +
            (online ? "登录成功" : "下线成功") + "\"}";
  }
  return list + "}}";
}

std::string DuluList(const std::vector<std::string>& accounts, bool online) {
  std::string list = "{";
  for (const std::string& account : accounts) {
    list += std::string(list.back() == '{' ? "" : ",") + "\"" + account + "\":{\"附加信息\":\"" +
            (online ? "登录成功" : "你的帐号当前登录已失效，请重新登录。") + "\",\"状态\":" +
            (online ? "1" : "0") + "}";
  }
  return list + "}";
}

void RecordDrCall(const char* api, const char* arguments) { hostsim::RecordCall(api, {arguments}); }

// Makes a platform current for the life of the scope.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform* platform) { SetPlatformForTesting(platform); }
  ~ScopedPlatform() { SetPlatformForTesting(nullptr); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;
};

// The host program's directory is a temporary one.
class ProgramDirPlatform : public PlatformWrapper {
 public:
  explicit ProgramDirPlatform(std::string program)
      : PlatformWrapper(&SystemPlatform()), program_(std::move(program)) {}
  std::string ProgramDirectory() override { return program_; }

 private:
  std::string program_;
};

std::string MakeTempDir() {
  char pattern[] = "/tmp/lanfeng-bench-XXXXXX";
  return mkdtemp(pattern) ? pattern : "";
}

std::string WindowsPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// A plugin's account watch in one emulated host: a temporary program
// directory, a configured data directory, watching on, mails not sent.
class WatchSetup {
 public:
  explicit WatchSetup(HostKind kind) {
    BotSim_SetSink(RecordDrCall);
    BotSim_SetLists(nullptr, nullptr);
    hostsim::SetXlzAccountList("{\"QQlist\":{}}");
    hostsim::SetDuluAccountList("{}");
    paths_.SetPluginDirectory(dir_);
    EnsureDirectory(paths_.PluginDirectory());
    WriteIniKey(paths_.BaseConfigPath(), kPathSection, kPathKey, dir_ + "\\data");
    EnsureDirectory(dir_ + "\\data\\账号记录\\");
    SetSetting(kWatchSwitchKey, "1");
    SetSetting(kMailAccountKey, "10000@qq.com");
    SetSetting(kMailAuthCodeKey, "secret-code");
    SetSetting(kOnlineTemplateKey, "账号：【账号号码】上线");
    SetSetting(kOfflineTemplateKey, "账号：【账号号码】下线");
    watch_.send_mail = [](MailSender&, std::string*) { return true; };
    host_kind_ = kind;
    if (kind == kXlzHost) xlz_.AttachHost(hostsim::kXlzPluginKey, hostsim::XlzApiList());
    if (kind == kDuluHost) {
      auto table = std::make_shared<TypedHashMap>();
      LoadApiTable(static_cast<HostAddress>(hostsim::DuluApiSupplier()), table.get());
      dulu_.Attach(table, "sig");
    }
    hostsim::TakeCalls();
  }
  ~WatchSetup() {
    BotSim_SetSink(nullptr);
    hostsim::TakeCalls();
    std::error_code ignored;
    std::filesystem::remove_all(native_, ignored);
  }

  WatchContext& watch() { return watch_; }

  // Gives every account's record the state, written whole as WriteIniKey
  // leaves a new record, and flushes the files, as a pass a minute after the
  // last finds them.
  void SetStates(const std::vector<std::string>& accounts, const std::string& state) {
    const std::string contents = SetIniValue("", kStateSection, kStateKey, state);
    for (const std::string& account : accounts) {
      CurrentPlatform().WriteFile(dir_ + "\\data\\账号记录\\" + account + ".ini", contents);
    }
    sync();
  }

 private:
  void SetSetting(const std::string& key, const std::string& value) {
    WriteIniKey(dir_ + "\\data\\数据配置.ini", kDataSection, key, value);
  }

  std::string native_ = MakeTempDir();
  std::string dir_ = WindowsPath(native_);
  ProgramDirPlatform platform_{dir_};
  ScopedPlatform scope_{&platform_};
  std::atomic<int32_t> host_kind_{kNoHost};
  DrBinding dr_;
  XlzBinding xlz_;
  DuluBinding dulu_;
  HostApi host_{host_kind_, dr_, xlz_, dulu_};
  PluginPaths paths_;
  WatchContext watch_{host_kind_, host_, dr_, xlz_, dulu_, paths_};
};

// Publishes the host's list with every account online or offline.
void PublishList(HostKind kind, const std::vector<std::string>& accounts, bool online) {
  if (kind == kDrHost) {
    const std::string list = DrList(accounts);
    BotSim_SetLists(online ? list.c_str() : "", online ? "" : list.c_str());
  }
  if (kind == kXlzHost) hostsim::SetXlzAccountList(XlzList(accounts, online));
  if (kind == kDuluHost) hostsim::SetDuluAccountList(DuluList(accounts, online));
}

// Every account changes status each pass: the records are put back in the
// handled state of the status the host last reported, so each pass reads
// and writes every record once.
void PollChanging(benchmark::State& state, HostKind kind) {
  const std::vector<std::string> accounts = Accounts(static_cast<int>(state.range(0)));
  WatchSetup setup(kind);
  bool online = false;
  for (auto _ : state) {
    state.PauseTiming();
    online = !online;
    PublishList(kind, accounts, online);
    setup.SetStates(accounts, online ? kOffline : kOnline);
    hostsim::TakeCalls();
    state.ResumeTiming();
    PollPass(setup.watch());
  }
  hostsim::TakeCalls();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// No account changes status: each pass reads every record once and writes
// none.
void PollSteady(benchmark::State& state, HostKind kind) {
  const std::vector<std::string> accounts = Accounts(static_cast<int>(state.range(0)));
  WatchSetup setup(kind);
  PublishList(kind, accounts, true);
  setup.SetStates(accounts, kOnline);
  for (auto _ : state) {
    state.PauseTiming();
    hostsim::TakeCalls();
    state.ResumeTiming();
    PollPass(setup.watch());
  }
  hostsim::TakeCalls();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_PollChangingDr(benchmark::State& state) { PollChanging(state, kDrHost); }
void BM_PollChangingXlz(benchmark::State& state) { PollChanging(state, kXlzHost); }
void BM_PollChangingDulu(benchmark::State& state) { PollChanging(state, kDuluHost); }
void BM_PollSteadyDr(benchmark::State& state) { PollSteady(state, kDrHost); }
void BM_PollSteadyXlz(benchmark::State& state) { PollSteady(state, kXlzHost); }
void BM_PollSteadyDulu(benchmark::State& state) { PollSteady(state, kDuluHost); }

// Every record holds a due online mail; the send step succeeds at once.
void BM_Dispatch(benchmark::State& state) {
  const std::vector<std::string> accounts = Accounts(static_cast<int>(state.range(0)));
  WatchSetup setup(kDrHost);
  for (auto _ : state) {
    state.PauseTiming();
    setup.SetStates(accounts, kPending);
    hostsim::TakeCalls();
    state.ResumeTiming();
    DispatchPass(setup.watch());
  }
  hostsim::TakeCalls();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

#define WATCH_PASS(name) \
  BENCHMARK(name)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)
WATCH_PASS(BM_PollChangingDr);
WATCH_PASS(BM_PollChangingXlz);
WATCH_PASS(BM_PollChangingDulu);
WATCH_PASS(BM_PollSteadyDr);
WATCH_PASS(BM_PollSteadyXlz);
WATCH_PASS(BM_PollSteadyDulu);
WATCH_PASS(BM_Dispatch);

// ---------------------------------------------------------------------------
// JSON account lists of 1,000 accounts: the reader as the poller uses it
// (and by one path per account), against RapidJSON's own parse and walk of
// the same (GBK) text.

constexpr int kListAccounts = 1000;
constexpr unsigned kBareFlags = rapidjson::kParseIterativeFlag;

// The member of object named name, or null.
const rapidjson::Value* Member(const rapidjson::Value& object, const char* name) {
  auto found = object.FindMember(name);
  return found == object.MemberEnd() ? nullptr : &found->value;
}

std::string TextOf(const rapidjson::Value* value) {
  return value != nullptr && value->IsString()
             ? std::string(value->GetString(), value->GetStringLength())
             : std::string();
}

// Each reads a list and answers how many accounts it found a text for: as
// the poller does (one pass over the members), by one path per account (as
// the poller did before), or with RapidJSON alone.
int ReadXlzWithReader(const std::string& text) {
  JsonPathReader reader("da");
  reader.Initialize();
  reader.Parse(text);
  int found = 0;
  reader.ReadMemberFields("QQlist", {"登录信息"},
                          [&found](const std::string&, const std::vector<std::string>& texts) {
                            found += !texts[0].empty();
                          });
  return found;
}

int ReadXlzByPath(const std::string& text) {
  JsonPathReader reader("da");
  reader.Initialize();
  reader.Parse(text);
  std::vector<std::string> accounts;
  reader.MemberNames(&accounts, "QQlist");
  int found = 0;
  for (const std::string& account : accounts) {
    found += !reader.GetText("QQlist['" + account + "'].登录信息").empty();
  }
  return found;
}

int ReadXlzBare(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse<kBareFlags>(text.data(), text.size());
  const rapidjson::Value* list = doc.IsObject() ? Member(doc, "QQlist") : nullptr;
  if (list == nullptr || !list->IsObject()) return 0;
  int found = 0;
  for (auto m = list->MemberBegin(); m != list->MemberEnd(); ++m) {
    benchmark::DoNotOptimize(TextOf(&m->name));
    found += !TextOf(m->value.IsObject() ? Member(m->value, "登录信息") : nullptr).empty();
  }
  return found;
}

int ReadDuluWithReader(const std::string& text) {
  JsonPathReader reader("da");
  reader.Initialize();
  reader.Parse(text);
  int found = 0;
  reader.ReadMemberFields("", {"附加信息", "状态"},
                          [&found](const std::string&, const std::vector<std::string>& texts) {
                            found += !texts[0].empty() && !texts[1].empty();
                          });
  return found;
}

int ReadDuluByPath(const std::string& text) {
  JsonPathReader reader("da");
  reader.Initialize();
  reader.Parse(text);
  std::vector<std::string> accounts;
  reader.MemberNames(&accounts, "");
  int found = 0;
  for (const std::string& account : accounts) {
    const std::string member = "['" + account + "']";
    const std::string info = reader.GetText(member + ".附加信息");
    const std::string status = reader.GetText(member + ".状态");
    found += !info.empty() && !status.empty();
  }
  return found;
}

int ReadDuluBare(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse<kBareFlags>(text.data(), text.size());
  if (!doc.IsObject()) return 0;
  int found = 0;
  for (auto m = doc.MemberBegin(); m != doc.MemberEnd(); ++m) {
    benchmark::DoNotOptimize(TextOf(&m->name));
    if (!m->value.IsObject()) continue;
    const std::string info = TextOf(Member(m->value, "附加信息"));
    const rapidjson::Value* value = Member(m->value, "状态");
    const std::string status =
        value != nullptr && value->IsInt() ? std::to_string(value->GetInt()) : std::string();
    found += !info.empty() && !status.empty();
  }
  return found;
}

void ReadList(benchmark::State& state, int (*read)(const std::string&), const std::string& text) {
  if (read(text) != kListAccounts) {
    state.SkipWithError("the list did not read as expected");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(read(text));
}

void BM_ReaderXlzList(benchmark::State& state) {
  ReadList(state, ReadXlzWithReader, XlzList(Accounts(kListAccounts), true));
}
void BM_ReaderXlzListByPath(benchmark::State& state) {
  ReadList(state, ReadXlzByPath, XlzList(Accounts(kListAccounts), true));
}
void BM_BareXlzList(benchmark::State& state) {
  ReadList(state, ReadXlzBare, XlzList(Accounts(kListAccounts), true));
}
void BM_ReaderDuluList(benchmark::State& state) {
  ReadList(state, ReadDuluWithReader, DuluList(Accounts(kListAccounts), false));
}
void BM_ReaderDuluListByPath(benchmark::State& state) {
  ReadList(state, ReadDuluByPath, DuluList(Accounts(kListAccounts), false));
}
void BM_BareDuluList(benchmark::State& state) {
  ReadList(state, ReadDuluBare, DuluList(Accounts(kListAccounts), false));
}
BENCHMARK(BM_ReaderXlzList)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReaderXlzListByPath)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareXlzList)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReaderDuluList)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReaderDuluListByPath)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareDuluList)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace lanfeng

BENCHMARK_MAIN();
