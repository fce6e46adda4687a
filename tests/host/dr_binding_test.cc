#include "host/dr_binding.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "support/gbk_text_testing.h"

namespace lanfeng {
namespace {

TEST(DrProfileTextTest, SuppliedFieldsInOrderWithoutTheLastComma) {
  DrProfile nickname;
  nickname.nickname = "abc";
  EXPECT_GBK_EQ("{\"info\":{\"昵称\":\"abc\"}}", DrProfileText(nickname));

  DrProfile empty_nickname;
  empty_nickname.nickname = "";
  EXPECT_GBK_EQ("{\"info\":{\"昵称\":\"\"}}", DrProfileText(empty_nickname));

  EXPECT_EQ("{\"info\":{}}", DrProfileText(DrProfile{})) << "no field: an empty object";

  DrProfile all;
  all.signature = "sig";
  all.gender = 3;
  all.occupation = 14;
  all.nickname = "n\"x";
  all.email = "e";
  EXPECT_GBK_EQ("{\"info\":{\"昵称\":\"n\"x\",\"性别\":\"1\",\"职业\":\"14\",\"邮箱\":\"e\",\"个人说明\":\"sig\"}}",
                DrProfileText(all))
      << "gender 3 is written as 1; values go in unescaped";
  DrProfile bad_occupation;
  bad_occupation.occupation = 0;
  bad_occupation.gender = 2;
  EXPECT_GBK_EQ("{\"info\":{\"性别\":\"2\",\"职业\":\"1\"}}", DrProfileText(bad_occupation));
}

// A fake Bot.dll: its functions record how they were called.
std::mutex calls_mu;
std::vector<std::string> calls;
void Record(std::string call) {
  std::lock_guard<std::mutex> lock(calls_mu);
  calls.push_back(std::move(call));
}

int32_t FakeOutPutLog(const char* line) {
  Record(std::string("log:") + line);
  return 1;
}
const char* FakeSendMsg(const char* robot, int32_t type, const char* target, const char* message) {
  Record(std::string("send:") + robot + "," + std::to_string(type) + "," + target + "," + message);
  return "ignored";
}
const char* FakeUpLoadPic(const char* robot, int32_t type, const char* group, const char* friend_account,
                          int32_t a, int32_t b, intptr_t data, int32_t length) {
  Record(std::string("pic:") + robot + "," + std::to_string(type) + "," + group + "," + friend_account +
         "," + std::to_string(a) + std::to_string(b) + "," +
         std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length)));
  return "[pic]";
}
int32_t FakeShutUP(const char* robot, const char* group, const char* member, int32_t duration) {
  Record(std::string("mute:") + robot + "," + group + ",[" + member + "]," + std::to_string(duration));
  return 0;
}
int32_t FakeUpVote(const char* robot, const char* uid, int32_t a, int32_t b) {
  Record(std::string("vote:") + robot + "," + uid + "," + std::to_string(a) + std::to_string(b));
  return 0;
}
int32_t FakeSetRInfEx(const char* robot, const char* profile) {
  Record(std::string("profile:") + robot + "," + profile);
  return 0;
}
const char* FakeNullList() { return nullptr; }
const char* FakeOnlineList() { return "10001\r\n10002"; }

class DrBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(calls_mu);
    calls.clear();
  }
  DrBinding::Resolver Fakes(std::map<std::string, void*> table) {
    return [this, table](const char* name) -> void* {
      ++lookups_[name];
      auto found = table.find(name);
      return found == table.end() ? nullptr : found->second;
    };
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(calls_mu);
    return calls;
  }
  std::map<std::string, int> lookups_;
};

TEST_F(DrBindingTest, PassesArgumentsInTheHostsOrder) {
  DrBinding dr(Fakes({{"Api_OutPutLog", reinterpret_cast<void*>(&FakeOutPutLog)},
                      {"Api_SendMsg", reinterpret_cast<void*>(&FakeSendMsg)},
                      {"Api_UpLoadPic", reinterpret_cast<void*>(&FakeUpLoadPic)},
                      {"Api_ShutUP", reinterpret_cast<void*>(&FakeShutUP)},
                      {"Api_UpVote", reinterpret_cast<void*>(&FakeUpVote)},
                      {"Api_SetRInfEx", reinterpret_cast<void*>(&FakeSetRInfEx)}}));
  dr.OutPutLog("禁用了插件哦");
  dr.SendMsg("100", 2, "200", "hi");
  EXPECT_EQ("[pic]", dr.UpLoadPic("100", 1, "", "300", std::string("PNG\0data", 8)));
  dr.ShutUP("100", "200", "", 10);
  dr.UpVote("100", "u1");
  DrProfile profile;
  profile.signature = "s";
  dr.SetRInfEx("100", profile);
  EXPECT_EQ((std::vector<std::string>{"log:禁用了插件哦", "send:100,2,200,hi",
                                      std::string("pic:100,1,,300,00,PNG\0data", 26), "mute:100,200,[],10",
                                      "vote:100,u1,11", "profile:100,{\"info\":{\"个人说明\":\"s\"}}"}),
            Calls());
}

TEST_F(DrBindingTest, MissingFunctionsAreSkippedWithEmptyAnswers) {
  DrBinding dr(Fakes({{"Api_GetOnLineList", reinterpret_cast<void*>(&FakeNullList)}}));
  dr.OutPutLog("x");
  dr.DelQQ("1");
  EXPECT_EQ("", dr.GetQQtoUid("1"));
  EXPECT_EQ("", dr.GetOffLineList());
  EXPECT_EQ("", dr.GetOnLineList()) << "a null answer is an empty text";
  EXPECT_TRUE(Calls().empty());

  DrBinding no_library(nullptr);
  EXPECT_EQ("", no_library.GetOnLineList());
}

TEST_F(DrBindingTest, LooksEachFunctionUpOnceAcrossThreads) {
  std::atomic<int> lookups{0};
  DrBinding dr([&lookups](const char* name) -> void* {
    ++lookups;
    return std::strcmp(name, "Api_GetOnLineList") == 0 ? reinterpret_cast<void*>(&FakeOnlineList)
                                                       : nullptr;
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&dr] {
      for (int i = 0; i < 100; ++i) ASSERT_EQ("10001\r\n10002", dr.GetOnLineList());
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_LE(lookups.load(), 4) << "found once, except for threads racing on the first call";
  int before = lookups.load();
  dr.GetOnLineList();
  EXPECT_EQ(before, lookups.load());
}

// After registration's ResolveAll no call asks the loader again, not even
// for a missing function: a worker's call during an unload (which holds the
// loader's lock while it joins the workers) must not wait for the loader.
TEST_F(DrBindingTest, AfterResolveAllNoCallLooksAnythingUp) {
  DrBinding dr(Fakes({{"Api_OutPutLog", reinterpret_cast<void*>(&FakeOutPutLog)}}));
  dr.ResolveAll();
  EXPECT_EQ(1, lookups_["Api_OutPutLog"]);
  EXPECT_EQ(1, lookups_["Api_DelQQ"]);
  EXPECT_EQ(1, lookups_["Api_GetOffLineList"]);
  lookups_.clear();
  dr.OutPutLog("x");
  dr.DelQQ("1");
  EXPECT_EQ("", dr.GetOffLineList());
  EXPECT_TRUE(lookups_.empty());
  EXPECT_EQ(std::vector<std::string>{"log:x"}, Calls());
}

}  // namespace
}  // namespace lanfeng
