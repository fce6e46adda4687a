// Unloading the built plugin while it is busy: in the middle of a status
// poll and a dispatch pass, in the middle of an SMTP exchange with a server
// that keeps the worker waiting, and in the middle of a save in the settings
// window. Each unload must return with no worker left and nothing crashed,
// without waiting out the mail time limits, which the tests set far beyond
// the test's own timeout: an unload that waited for a mail would fail the
// test by timing out.
//
// The host is the DR host (the emulator's Bot.dll); its log shows how far
// the workers got.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bot_sim.h"
#include "runtime/directories.h"
#include "runtime/gbk_text.h"
#include "runtime/ini_file.h"
#include "support/smtp_test_server.h"
#include "support/test_platforms.h"
#include "watch/config.h"

namespace lanfeng {
namespace {

// How long a test waits for something the plugin does in well under a
// second; it only keeps a broken run from hanging and is never measured.
constexpr auto kPatience = std::chrono::seconds(60);
// Per reply and for connecting; each mail may take three times as long.
// Far beyond the test's timeout, so no unload may wait for a mail.
constexpr char kMailTimeLimitMs[] = "300000";
constexpr char kLogin[] = "10000@qq.com";
constexpr char kCode[] = "unload-code";

// The DR host's log, as the plugin wrote it (GBK), for every test.
std::mutex log_mu;
std::condition_variable log_changed;
std::vector<std::string> log_lines;

void RecordHostCall(const char* api, const char* arguments) {
  if (std::string(api) != "Api_OutPutLog") return;
  {
    std::lock_guard<std::mutex> lock(log_mu);
    log_lines.push_back(arguments);
  }
  log_changed.notify_all();
}

int ThreadCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

int CountLines(const std::vector<std::string>& lines, const std::string& part) {
  int count = 0;
  for (const std::string& line : lines) count += line.find(part) != std::string::npos;
  return count;
}

class UnloadUnderLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LANFENG_PROGRAM_DIR", program_dir_.native().c_str(), 1);
    setenv("LANFENG_TIME_SCALE", "1000", 1);  // the 5- and 6-second first waits take milliseconds
    setenv("LANFENG_SMTP_TIMEOUT_MS", kMailTimeLimitMs, 1);
    setenv("LANFENG_NOTICE_URL",
           ("http://127.0.0.1:" + std::to_string(refusing_.port()) + "/2.php").c_str(), 1);
    BotSim_SetSink(RecordHostCall);
    BotSim_SetLists(nullptr, nullptr);
    std::thread([] {}).join();  // sanitizers start their own helper threads with the first thread
    threads_before_ = ThreadCount();
    Configure();
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
    BotSim_SetSink(nullptr);
    BotSim_SetLists(nullptr, nullptr);
    for (const char* name : {"LANFENG_TIME_SCALE", "LANFENG_SMTP_TIMEOUT_MS", "LANFENG_NOTICE_URL",
                             "LANFENG_SMTP_HOST", "LANFENG_SMTP_PORT", "LANFENG_SMTP_CA_FILE"}) {
      unsetenv(name);
    }
    std::lock_guard<std::mutex> lock(log_mu);
    log_lines.clear();
  }

  // The configuration an owner would have saved: watching on, the mail
  // login, a data directory inside the program directory.
  void Configure() {
    PluginPaths paths;
    paths.SetPluginDirectory(program_dir_.path());
    ASSERT_TRUE(EnsureDirectory(paths.PluginDirectory()));
    ASSERT_TRUE(WriteIniKey(paths.BaseConfigPath(), kPathSection, kPathKey, data_.directory()));
    ASSERT_TRUE(EnsureDirectory(data_.RecordsDirectory()));
    for (const auto& [key, value] : std::vector<std::pair<const char*, std::string>>{
             {kWatchSwitchKey, "1"},
             {kMailAccountKey, kLogin},
             {kMailAuthCodeKey, kCode},
             {kOnlineTemplateKey, "账号：【账号号码】上线"},
             {kOfflineTemplateKey, "账号：【账号号码】下线"}}) {
      ASSERT_TRUE(WriteIniKey(data_.DataConfigPath(), kDataSection, key, value));
    }
  }

  // Accounts first+0 .. first+count-1, each due its online mail.
  void AddPendingAccounts(int first, int count) {
    for (int n = first; n < first + count; ++n) {
      ASSERT_TRUE(WriteIniKey(data_.RecordPath(std::to_string(n)), kStateSection, kStateKey, "1"));
    }
  }
  std::string State(int account) {
    return ReadIniKey(data_.RecordPath(std::to_string(account)), kStateSection, kStateKey);
  }

  void StartServer(const SmtpServerOptions& base) {
    SmtpServerOptions options = base;
    options.user = kLogin;
    options.password = kCode;
    ASSERT_TRUE(server_.Start(options));
    setenv("LANFENG_SMTP_HOST", "localhost", 1);
    setenv("LANFENG_SMTP_PORT", std::to_string(server_.port()).c_str(), 1);
    setenv("LANFENG_SMTP_CA_FILE", server_.certificate().c_str(), 1);
  }

  // Loads the library, registers it with the DR host and enables it.
  void LoadAndEnable() {
    handle_ = dlopen(LANFENG_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle_) << dlerror();
    Entry<const char* (*)()>("Dr_Create")();
    ASSERT_EQ(0, Entry<int32_t (*)()>("Dr_Enable")());
    ASSERT_EQ(threads_before_ + 2, ThreadCount()) << "the two workers run";
  }

  template <typename F>
  F Entry(const char* name) {
    auto entry = reinterpret_cast<F>(dlsym(handle_, name));
    EXPECT_NE(nullptr, entry) << name;
    return entry;
  }

  // Waits until the log holds at least `count` lines containing part.
  ::testing::AssertionResult AwaitLog(const std::string& part, int count = 1) {
    std::unique_lock<std::mutex> lock(log_mu);
    if (log_changed.wait_for(lock, kPatience,
                             [&] { return CountLines(log_lines, part) >= count; })) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the log never showed " << GbkForDisplay(part);
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(log_mu);
    return log_lines;
  }

  // The host's unload: its notice, then the library freed. Returns how long
  // that took; checks that the library and its threads are gone.
  std::chrono::milliseconds Unload() {
    const auto start = std::chrono::steady_clock::now();
    Entry<int32_t (*)()>("Dr_DestroyPlugin")();
    return FreeLibrary(start);
  }
  std::chrono::milliseconds FreeLibrary(std::chrono::steady_clock::time_point start) {
    dlclose(handle_);
    handle_ = nullptr;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    void* still = dlopen(LANFENG_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(nullptr, still) << "the library left the process";
    if (still) dlclose(still);
    EXPECT_EQ(threads_before_, ThreadCount()) << "no worker thread is left behind";
    RecordProperty("unload_milliseconds", static_cast<int>(took.count()));
    std::printf("[ unload ] %s: %lld ms\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                static_cast<long long>(took.count()));
    return took;
  }

  // Every account whose state says handled was mailed or has its failure
  // logged, once: an unload never leaves an account handled and unmailed.
  // The others are still due (or, with `unpolled`, not yet seen at all).
  // Returns how many were handled.
  int ExpectNoAccountHandledUnmailed(int first, int count, bool unpolled = false) {
    const std::vector<std::string> lines = Log();
    int handled = 0;
    for (int n = first; n < first + count; ++n) {
      const std::string state = State(n);
      const std::string mailbox = std::to_string(n) + "@qq.com";
      const int outcomes = CountLines(lines, "发送邮件成功——发送邮箱账号：" + mailbox) +
                           CountLines(lines, "发送邮件失败——发送邮箱账号：" + mailbox + "——");
      if (state == "2") {
        ++handled;
        EXPECT_EQ(1, outcomes) << n;
      } else {
        EXPECT_EQ(0, outcomes) << n;
        EXPECT_TRUE(state == "1" || (unpolled && state.empty())) << n << ": " << state;
      }
    }
    return handled;
  }

  void UnloadDuringPollAndDispatch(bool notice);

  TempDir program_dir_;
  DataPaths data_{program_dir_.path() + "\\data\\"};
  RefusingPort refusing_;
  SmtpTestServer server_;
  void* handle_ = nullptr;
  int threads_before_ = 0;
};

// The poller walks a long account list of the host while the dispatcher
// mails a long list of due accounts to a working server. `notice`: the host
// sends its unload notice first (which stops the workers on its own thread);
// without it, the library's teardown stops them under the loader's lock, so
// no worker may need the loader then (the poller's first call of a DR
// function once made that unload hang for ever).
void UnloadUnderLoadTest::UnloadDuringPollAndDispatch(bool notice) {
  StartServer(SmtpServerOptions());
  std::string online;
  for (int n = 50000; n < 52000; ++n) online += std::to_string(n) + "\r\n";
  BotSim_SetLists(online.c_str(), "");
  AddPendingAccounts(10000, 40);
  LoadAndEnable();
  ASSERT_TRUE(AwaitLog("线程1—1号，已启动，正在处理数据！"));
  ASSERT_TRUE(AwaitLog("发送邮件成功——"));
  const int polled_before = CountLines(Log(), "DR在线账号：");
  if (notice) {
    Unload();
  } else {
    FreeLibrary(std::chrono::steady_clock::now());
  }
  const std::vector<std::string> lines = Log();
  std::printf("[ unload ] accounts polled: %d at the unload call, %d when it returned\n",
              polled_before, CountLines(lines, "DR在线账号："));
  const int sent = CountLines(lines, "发送邮件成功——");
  const int failed = CountLines(lines, "发送邮件失败——");
  EXPECT_LE(failed, 1) << "at most the mail under way was cut";
  const int handled_due = ExpectNoAccountHandledUnmailed(10000, 40);
  const int handled_polled = ExpectNoAccountHandledUnmailed(50000, 2000, true);
  EXPECT_EQ(handled_due + handled_polled, sent + failed);
  EXPECT_LT(handled_due, 40) << "the unload ended the dispatch pass between accounts";
  const size_t received = server_.ReceivedMails().size();
  EXPECT_LE(static_cast<size_t>(sent), received) << "every mail logged as sent arrived";
  EXPECT_LE(received, static_cast<size_t>(sent + failed));
}

TEST_F(UnloadUnderLoadTest, DuringAPollAndADispatchPass) { UnloadDuringPollAndDispatch(true); }

TEST_F(UnloadUnderLoadTest, DuringAPollAndADispatchPassWithoutTheNotice) {
  UnloadDuringPollAndDispatch(false);
}

// A server that keeps the dispatcher waiting in the middle of a mail: the
// unload ends the exchange instead of waiting for the mail's time limit,
// and the accounts after it stay due for the next load.
struct BusyServer {
  const char* name;
  const char* mode;
  const char* reason;  // the logged reason of the interrupted mail
};

void PrintTo(const BusyServer& busy, std::ostream* out) { *out << busy.name; }

class UnloadDuringSmtpTest : public UnloadUnderLoadTest,
                             public ::testing::WithParamInterface<BusyServer> {};

TEST_P(UnloadDuringSmtpTest, EndsTheExchangeAndLeavesTheRestDue) {
  SmtpServerOptions options;
  options.mode = GetParam().mode;
  StartServer(options);
  AddPendingAccounts(10000, 3);
  LoadAndEnable();
  ASSERT_TRUE(AwaitLog("发送邮箱账号："));
  // The handshake takes milliseconds; then the worker waits for the server.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Unload();
  const std::vector<std::string> lines = Log();
  std::string failure;
  for (const std::string& line : lines) {
    if (line.find("发送邮件失败——") != std::string::npos) failure = line;
  }
  std::printf("[ unload ] %s\n", GbkForDisplay(failure).c_str());
  EXPECT_NE(std::string::npos, failure.find(std::string("——失败原因：") + GetParam().reason))
      << GbkForDisplay(failure);
  EXPECT_EQ(1, CountLines(lines, "发送邮件失败——")) << "only the mail under way was cut";
  EXPECT_EQ(1, ExpectNoAccountHandledUnmailed(10000, 3))
      << "the accounts after the interrupted one wait for the next load";
  EXPECT_TRUE(server_.ReceivedMails().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Servers, UnloadDuringSmtpTest,
    ::testing::Values(
        BusyServer{"silent", "silent", "SMTP等待服务器问候失败：插件正在卸载，发送已中止"},
        BusyServer{"trickle", "trickle", "SMTP等待服务器问候失败：插件正在卸载，发送已中止"},
        BusyServer{"silent_in_data", "silent-in-data",
                   "SMTP发送邮件内容失败：插件正在卸载，发送已中止"},
        BusyServer{"no_handshake", "no-handshake", "TLS握手失败"}),
    [](const ::testing::TestParamInfo<BusyServer>& info) { return std::string(info.param.name); });

// The owner saves the settings on the host's window thread, over and over,
// while the dispatcher waits on a silent server; the host's unload notice
// (which stops and joins the workers) comes from another thread in the
// middle of a save, and the host frees the library as soon as its window
// thread has left the save handler (no host can free a library while its
// own thread runs inside it).
TEST_F(UnloadUnderLoadTest, DuringASettingsSave) {
  SmtpServerOptions options;
  options.mode = "silent";
  StartServer(options);
  AddPendingAccounts(10000, 2);
  LoadAndEnable();
  ASSERT_TRUE(AwaitLog("发送邮箱账号："));

  using SetText = int32_t (*)(const char*, const char*, const char*);
  using Click = int32_t (*)(const char*, const char*);
  auto set_text = Entry<SetText>("LanfengHeadless_SetText");
  auto click = Entry<Click>("LanfengHeadless_Click");
  std::atomic<int> saves{0};
  std::atomic<bool> stop_saving{false};
  std::atomic<bool> opened{false};
  std::atomic<bool> finished{false};
  std::thread window_thread([&] {
    Entry<void (*)()>("Dr_SetUp")();
    opened = click("NoticeWindow", "按钮1") == 1;
    while (opened && !stop_saving) {
      const std::string mailbox = std::to_string(20000 + saves.load()) + "@qq.com";
      set_text("SettingsWindow", "编辑框_通知QQ邮箱", mailbox.c_str());
      click("SettingsWindow", "按钮_保存配置");
      ++saves;
    }
    finished = true;
  });
  while (saves < 3 && !finished) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  Entry<int32_t (*)()>("Dr_DestroyPlugin")();  // mid-save, from the host's other thread
  stop_saving = true;
  window_thread.join();
  ASSERT_TRUE(opened) << "the settings window opened";
  FreeLibrary(start);

  const std::string last = std::to_string(20000 + saves.load() - 1) + "@qq.com";
  EXPECT_EQ(last, ReadIniKey(data_.DataConfigPath(), kDataSection, kNotifyMailboxKey))
      << "the last save is whole";
  EXPECT_EQ(kLogin, ReadIniKey(data_.DataConfigPath(), kDataSection, kMailAccountKey));
  EXPECT_EQ("1", ReadIniKey(data_.DataConfigPath(), kDataSection, kWatchSwitchKey));
  for (const auto& entry : std::filesystem::directory_iterator(program_dir_.native() + "/data")) {
    EXPECT_NE(".tmp", entry.path().extension()) << entry.path() << " was left half-written";
  }
  EXPECT_EQ(1, ExpectNoAccountHandledUnmailed(10000, 2))
      << "the mail under way was cut, the next one waits";
}

}  // namespace
}  // namespace lanfeng
