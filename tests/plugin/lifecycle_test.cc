// The built plugin library, loaded and driven as the hosts drive it.
//
// Exported names are UTF-8 here while our narrow literals are GBK, hence the
// u8 literals for the Chinese entry point names.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bot_sim.h"
#include "support/gbk_text_testing.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

std::mutex host_calls_mu;
std::vector<std::string> host_calls;

void RecordHostCall(const char* api, const char* arguments) {
  std::lock_guard<std::mutex> lock(host_calls_mu);
  host_calls.push_back(std::string(api) + ":" + arguments);
}

int ThreadCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

class LoadedPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LANFENG_PROGRAM_DIR", program_dir_.native().c_str(), 1);
    BotSim_SetSink(RecordHostCall);
    std::thread([] {}).join();  // sanitizers start their own helper threads with the first thread
    threads_before_ = ThreadCount();
    handle_ = dlopen(LANFENG_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle_) << dlerror();
  }
  void TearDown() override {
    if (handle_) Unload();
    BotSim_SetSink(nullptr);
    std::lock_guard<std::mutex> lock(host_calls_mu);
    host_calls.clear();
  }

  // Unloads the library; true when it has left the process.
  bool Unload() {
    dlclose(handle_);
    handle_ = nullptr;
    void* still = dlopen(LANFENG_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (still) dlclose(still);
    return still == nullptr;
  }

  int32_t CallInt(const char* name) {
    auto entry = reinterpret_cast<int32_t (*)()>(dlsym(handle_, name));
    EXPECT_NE(nullptr, entry) << name;
    return entry ? entry() : -1;
  }
  void CallVoid(const char* name) {
    auto entry = reinterpret_cast<void (*)()>(dlsym(handle_, name));
    ASSERT_NE(nullptr, entry) << name;
    entry();
  }
  std::vector<std::string> HostCalls() {
    std::lock_guard<std::mutex> lock(host_calls_mu);
    return host_calls;
  }

  TempDir program_dir_;
  void* handle_ = nullptr;
  int threads_before_ = 0;
};

TEST_F(LoadedPluginTest, LoadingDoesNothingButMakeTheState) {
  EXPECT_EQ(threads_before_, ThreadCount()) << "no thread at load";
  EXPECT_TRUE(HostCalls().empty()) << "no host call at load";
  EXPECT_TRUE(std::filesystem::is_empty(program_dir_.native())) << "no file at load";
  EXPECT_EQ(nullptr, dlsym(handle_, "_ZN7lanfeng6PluginEv")) << "only entry points are visible";
}

TEST_F(LoadedPluginTest, LifecycleEntryPointsAnswerAsEachHostExpects) {
  EXPECT_EQ(0, CallInt("Dr_Enable"));
  EXPECT_EQ(0, CallInt("_AppStart"));
  EXPECT_EQ(1, CallInt(u8"_启用"));
  EXPECT_EQ(threads_before_ + 2, ThreadCount()) << "three enables, one pair of workers";
  EXPECT_EQ(0, CallInt("Dr_DestroyPlugin"));
  EXPECT_EQ(0, CallInt("_AppUnload"));
  CallVoid(u8"_卸载");
  EXPECT_EQ(0, CallInt("_AppEnd"));
  CallVoid(u8"_禁用");
  EXPECT_TRUE(HostCalls().empty()) << "only the DR disable writes to a log";
  EXPECT_EQ(threads_before_, ThreadCount()) << "the unload notices stopped the workers";
}

TEST_F(LoadedPluginTest, DrDisableLogsItsLineExactlyEveryTime) {
  EXPECT_EQ(0, CallInt("Dr_Disable"));
  EXPECT_EQ(0, CallInt("Dr_Disable"));
  const std::string line = "Api_OutPutLog:禁用了插件哦";
  EXPECT_EQ((std::vector<std::string>{line, line}), HostCalls());
  EXPECT_EQ("BD FB D3 C3 C1 CB B2 E5 BC FE C5 B6", HexBytes("禁用了插件哦"));
  EXPECT_EQ(threads_before_, ThreadCount()) << "disable before enable starts nothing";
}

// The notices stop the workers on the host's thread (a join from the
// library's teardown would wait under the loader's lock), and nothing else:
// a host that keeps the library gets working workers from its next enable.
TEST_F(LoadedPluginTest, UnloadNoticesStopTheWorkersAndNothingElse) {
  EXPECT_EQ(0, CallInt("Dr_DestroyPlugin"));
  CallVoid(u8"_卸载");
  EXPECT_EQ(0, CallInt("Dr_Enable"));
  EXPECT_EQ(threads_before_ + 2, ThreadCount());
  EXPECT_EQ(0, CallInt("_AppUnload"));
  EXPECT_EQ(threads_before_, ThreadCount()) << "stopped and joined before the host frees the library";
  EXPECT_EQ(0, CallInt("Dr_Enable"));
  EXPECT_EQ(threads_before_ + 2, ThreadCount()) << "started again";
  EXPECT_EQ(0, CallInt("Dr_Disable"));
  EXPECT_EQ(1u, HostCalls().size());
  EXPECT_EQ(0, CallInt("Dr_DestroyPlugin"));
  ASSERT_TRUE(Unload());
  EXPECT_EQ(threads_before_, ThreadCount());
}

TEST_F(LoadedPluginTest, UnloadMidWaitStopsAndJoinsTheWorkers) {
  ASSERT_EQ(1, CallInt(u8"_启用"));
  ASSERT_EQ(threads_before_ + 2, ThreadCount());
  // Both workers now sleep in their first waits of 5 and 6 host seconds.
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Unload()) << "the library left the process";
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(threads_before_, ThreadCount()) << "no worker thread is left behind";
  RecordProperty("unload_microseconds",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
}

TEST_F(LoadedPluginTest, ReloadingGivesAFreshPlugin) {
  ASSERT_EQ(0, CallInt("Dr_Enable"));
  ASSERT_TRUE(Unload());
  handle_ = dlopen(LANFENG_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle_);
  EXPECT_EQ(threads_before_, ThreadCount());
  EXPECT_EQ(0, CallInt("Dr_Enable"));
  EXPECT_EQ(threads_before_ + 2, ThreadCount()) << "a new load starts its own workers";
}

}  // namespace
}  // namespace lanfeng
