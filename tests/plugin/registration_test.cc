// Registration with each host, through the built plugin library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "bot_sim.h"
#include "support/gbk_text_testing.h"
#include "support/test_platforms.h"

namespace lanfeng {
namespace {

std::mutex log_mu;
std::vector<std::string> log_lines;

void RecordLog(const char* api, const char* arguments) {
  std::lock_guard<std::mutex> lock(log_mu);
  log_lines.push_back(std::string(api) + ":" + arguments);
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LANFENG_PROGRAM_DIR", program_dir_.native().c_str(), 1);
    BotSim_SetSink(RecordLog);
    handle_ = dlopen(LANFENG_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle_) << dlerror();
  }
  void TearDown() override {
    dlclose(handle_);
    BotSim_SetSink(nullptr);
    std::lock_guard<std::mutex> lock(log_mu);
    log_lines.clear();
  }
  template <typename F>
  F Entry(const char* name) {
    auto entry = reinterpret_cast<F>(dlsym(handle_, name));
    EXPECT_NE(nullptr, entry) << name;
    return entry;
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(log_mu);
    return log_lines;
  }

  TempDir program_dir_;
  void* handle_ = nullptr;
};

TEST_F(RegistrationTest, DrCreateAnswersTheDescriptionAndLogsTwoLines) {
  auto create = Entry<const char* (*)()>("Dr_Create");
  ASSERT_NE(nullptr, create);
  const char* first = create();
  const std::string text = first;
  EXPECT_GBK_EQ(
      "插件名称{岚风守望}\r\n插件版本{1.0.9}\r\n插件作者{墨川}\r\n插件说明{作者QQ：1651327064}\r\n"
      "插件skey{7302KXQPLA5519047MZRTB6Y}\r\n插件sdk{S1}",
      text);
  EXPECT_EQ((std::vector<std::string>{"Api_OutPutLog:判断为DR框架", "Api_OutPutLog:载入DR框架数据"}),
            Log())
      << "written directly, without the plugin's prefix";
  EXPECT_TRUE(std::filesystem::is_directory(program_dir_.native() + "/\xE5\xB2\x9A\xE9\xA3\x8E\xE5\xAE\x88\xE6\x9C\x9B"))
      << "the plugin's own directory is made under the program's";

  EXPECT_EQ(text, std::string(create())) << "a second registration answers the same";
  EXPECT_EQ(4u, Log().size());
}

}  // namespace
}  // namespace lanfeng
