// Registration with each host, through the built plugin library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "bot_sim.h"
#include "dulu_host.h"
#include "host/packet_codec.h"
#include "host/typed_hash_map.h"
#include "host_calls.h"
#include "xlz_host.h"
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

TEST_F(RegistrationTest, XiaoLiZiGetsItsJsonWithTheCallbacksAddresses) {
  auto initialize = Entry<const char* (*)(const char*, const char*)>(u8"初始化");
  ASSERT_NE(nullptr, initialize);
  hostsim::TakeCalls();
  const std::string list = hostsim::XlzApiList();
  const char* first = initialize(list.c_str(), hostsim::kXlzPluginKey);
  const std::string json = first;

  EXPECT_EQ((std::vector<std::string>{"输出日志|hostsim-xlz-key|判断为小栗子框架|255|65535",
                                      "输出日志|hostsim-xlz-key|载入小栗子框架数据|255|65535"}),
            hostsim::TakeCalls());
  auto address = [this](const char* name) {
    return std::to_string(reinterpret_cast<intptr_t>(dlsym(handle_, name)));
  };
  const std::string expected_head =
      "{\"sdkv\":\"5.1.7\",\"appname\":\"岚风守望\",\"author\":\"墨川\",\"appv\":\"1.0.9\","
      "\"describe\":\"作者QQ：1651327064\",\"getticketaddres\":0,\"getvefcodeaddres\":0,"
      "\"useproaddres\":" + address("_AppStart") + ",\"banproaddres\":" + address("_AppEnd") +
      ",\"unitproaddres\":" + address("_AppUnload") + ",\"setproaddres\":" + address("_ControlPanel") +
      ",\"friendmsaddres\":" + address("_OnPrivate") + ",\"groupmsaddres\":" + address("_OnGroup") +
      ",\"ChannelFunc\":0,\"eventmsaddres\":" + address("_OnEvent") + ",\"PmDealFunc\":0,\"data\":";
  EXPECT_GBK_EQ(expected_head, json.substr(0, expected_head.size()));
  EXPECT_EQ("}}}", json.substr(json.size() - 3));

  // The entry addresses the host got are the entry points: the host calls them.
  auto enable = reinterpret_cast<int32_t (*)()>(dlsym(handle_, "_AppStart"));
  EXPECT_EQ(0, enable());
  auto disable = reinterpret_cast<int32_t (*)()>(dlsym(handle_, "_AppEnd"));
  EXPECT_EQ(0, disable());
}

TEST_F(RegistrationTest, DuluGetsTheIdentityMapAndLogsThroughItsApiTable) {
  auto init = Entry<const char* (*)(intptr_t)>("Init_DuLu");
  ASSERT_NE(nullptr, init);
  hostsim::TakeCalls();
  const std::string hex = init(hostsim::DuluApiSupplier());

  const std::vector<std::string> calls = hostsim::TakeCalls();
  const std::string signature = "81bc57d9dc3c36532f03cbb347704337";
  EXPECT_EQ((std::vector<std::string>{"API表|0", "输出日志|" + signature + "|插件：岚风守望——判断为dulu框架|255",
                                      "输出日志|" + signature + "|插件：岚风守望——载入dulu框架数据|255"}),
            calls)
      << "the table is loaded before the lines are logged through it";

  EXPECT_NE(' ', hex.front());
  EXPECT_NE(' ', hex.back());
  for (size_t i = 0; i < hex.size(); ++i) {
    const bool separator = i % 3 == 2;
    EXPECT_TRUE(separator ? hex[i] == ' ' : std::isxdigit(static_cast<unsigned char>(hex[i])) &&
                                                !std::islower(static_cast<unsigned char>(hex[i])))
        << "position " << i;
  }
  TypedHashMap identity;
  ASSERT_TRUE(identity.Load(HexDecode(hex)));
  EXPECT_EQ(7u, identity.count());
  EXPECT_EQ("岚风守望", identity.GetText("名称"));
  EXPECT_EQ("墨川", identity.GetText("作者"));
  EXPECT_EQ("1.0.9", identity.GetText("版本"));
  EXPECT_EQ("1.0.9", identity.GetText("最新"));
  EXPECT_EQ("作者QQ：1651327064", identity.GetText("说明"));
  std::string program = program_dir_.path();
  EXPECT_EQ(program + "\\data\\plugin\\岚风守望", identity.GetText("目录"));
  EXPECT_EQ(signature, identity.GetText("签名"));
}

TEST_F(RegistrationTest, DuluWithAnUnreadableTableStillAnswers) {
  auto init = Entry<const char* (*)(intptr_t)>("Init_DuLu");
  ASSERT_NE(nullptr, init);
  hostsim::TakeCalls();
  const std::string hex = init(0);
  EXPECT_FALSE(hex.empty());
  EXPECT_TRUE(hostsim::TakeCalls().empty()) << "with no table, no log line can be written";
}

}  // namespace
}  // namespace lanfeng
