#include "host/host_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "bot_sim.h"
#include "dulu_host.h"
#include "host/dr_binding.h"
#include "host/dulu_binding.h"
#include "host/packet_codec.h"
#include "host/typed_hash_map.h"
#include "host/xlz_binding.h"
#include "host_calls.h"
#include "support/gbk_text_testing.h"
#include "support/test_platforms.h"
#include "xlz_host.h"

namespace lanfeng {
namespace {

void RecordDrCall(const char* api, const char* arguments) {
  hostsim::RecordCall(api, {arguments});
}

// The host API over the emulator's three hosts; the test picks the host.
class HostApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BotSim_SetSink(RecordDrCall);
    xlz_.AttachHost(hostsim::kXlzPluginKey, hostsim::XlzApiList());
    auto table = std::make_shared<TypedHashMap>();
    ASSERT_TRUE(LoadApiTable(static_cast<HostAddress>(hostsim::DuluApiSupplier()), table.get()));
    dulu_.Attach(table, "sig");
    hostsim::SetXlzDeleteAnswer("0");
    hostsim::SetDuluDeleteStatus(1);
    hostsim::TakeCalls();
  }
  void TearDown() override { BotSim_SetSink(nullptr); }

  void On(HostKind kind) {
    hostsim::TakeCalls();
    host_kind_ = kind;
  }
  std::vector<std::string> Calls() { return hostsim::TakeCalls(); }

  std::atomic<int32_t> host_kind_{kNoHost};
  DrBinding dr_;
  XlzBinding xlz_;
  DuluBinding dulu_;
  HostApi host_{host_kind_, dr_, xlz_, dulu_};
};

TEST(TextToNumberTest, LeadingDigitsWithSignElseZero) {
  EXPECT_EQ(10001, TextToInt64("10001"));
  EXPECT_EQ(-42, TextToInt64("-42abc"));
  EXPECT_EQ(7, TextToInt64("+7"));
  EXPECT_EQ(0, TextToInt64("abc"));
  EXPECT_EQ(0, TextToInt64(""));
  EXPECT_EQ(0, TextToInt64("-"));
  EXPECT_EQ(0, TextToInt64(" 5")) << "no blanks before the number";
  EXPECT_EQ(INT64_MAX, TextToInt64("9223372036854775807"));
  EXPECT_EQ(INT64_MIN, TextToInt64("-9223372036854775808"));
  EXPECT_EQ(0, TextToInt64("9223372036854775808")) << "too big is not a number";
  EXPECT_EQ(0, TextToInt32("2147483648"));
  EXPECT_EQ(-2147483647 - 1, TextToInt32("-2147483648"));
}

TEST_F(HostApiTest, BeforeRegistrationNothingReachesAHost) {
  host_.Log("x");
  host_.SendMessage("1", "", "2", "hi", kFriendMessage);
  EXPECT_FALSE(host_.DeleteAccount("10001"));
  EXPECT_GBK_EQ("上传图片失败！", host_.UploadPicture("1", "2", "p", 1));
  EXPECT_GBK_EQ("上传语音失败！", host_.UploadVoice("1", "2", "p", 1));
  EXPECT_GBK_EQ("上传视频失败！", host_.UploadVideo("1", "2", "v", "c", 1));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(HostApiTest, LogCarriesThePrefixOnEveryHost) {
  On(kDrHost);
  host_.Log("x");
  EXPECT_EQ(std::vector<std::string>{"Api_OutPutLog|插件：岚风守望——x"}, Calls());
  On(kXlzHost);
  host_.Log("x");
  EXPECT_EQ(std::vector<std::string>{"输出日志|hostsim-xlz-key|插件：岚风守望——x|255|65535"}, Calls());
  On(kDuluHost);
  host_.Log("x");
  EXPECT_EQ(std::vector<std::string>{"输出日志|sig|插件：岚风守望——x|255"}, Calls());
}

TEST_F(HostApiTest, SendMessageByKindAndHost) {
  On(kDrHost);
  host_.SendMessage("100", "", "200", "hi", kFriendMessage);
  host_.SendMessage("100", "300", "", "hi", kGroupMessage);
  EXPECT_EQ((std::vector<std::string>{"Api_GetQQtoUid|200", "Api_SendMsg|100|1|u_200|hi",
                                      "Api_SendMsg|100|2|300|hi"}),
            Calls())
      << "a friend is addressed by UID with type 1, a group by number with type 2";

  On(kXlzHost);
  host_.SendMessage("100", "300", "200", "hi", kTempMessage);
  EXPECT_EQ((std::vector<std::string>{"取群Id_从缓存|hostsim-xlz-key|300",
                                      "发送群临时消息|hostsim-xlz-key|100|9000000300|200|hi"}),
            Calls());

  for (HostKind kind : {kDrHost, kXlzHost, kDuluHost}) {
    On(kind);
    host_.SendMessage("100", "300", "200", "hi", 4);
    host_.SendMessage("100", "300", "200", "hi", 0);
    EXPECT_TRUE(Calls().empty()) << kind;
  }
}

TEST_F(HostApiTest, DeleteAccountTrustsOnlyTheHostsSuccessAnswer) {
  On(kDrHost);
  EXPECT_TRUE(host_.DeleteAccount("10001"));
  EXPECT_EQ(std::vector<std::string>{"Api_DelQQ|10001"}, Calls());

  On(kXlzHost);
  EXPECT_TRUE(host_.DeleteAccount("10001"));
  EXPECT_EQ(std::vector<std::string>{"QQ列表_删除QQ|hostsim-xlz-key|10001|1"}, Calls());
  for (const char* answer : {"", "00", "1", "0 "}) {
    hostsim::SetXlzDeleteAnswer(answer);
    EXPECT_FALSE(host_.DeleteAccount("10001")) << '"' << answer << '"';
  }

  On(kDuluHost);
  EXPECT_TRUE(host_.DeleteAccount("10001"));
  EXPECT_EQ(std::vector<std::string>{"账号_删除|sig|00 00 00 00 00 00 27 11"}, Calls());
  hostsim::SetDuluDeleteStatus(2);
  EXPECT_FALSE(host_.DeleteAccount("10001"));
}

TEST_F(HostApiTest, MuteGroupWholeOrMemberInSeconds) {
  On(kDrHost);
  host_.MuteGroup("100", "300", "", 0);
  host_.MuteGroup("100", "300", "200", 5);
  EXPECT_EQ((std::vector<std::string>{"Api_ShutUP|100|300||0", "Api_GetQQtoUid|200",
                                      "Api_ShutUP|100|300|u_200|300"}),
            Calls());
  On(kXlzHost);
  host_.MuteGroup("100", "300", "", 0);
  host_.MuteGroup("100", "300", "", 10);
  host_.MuteGroup("100", "300", "200", 5);
  EXPECT_EQ((std::vector<std::string>{"全员禁言|hostsim-xlz-key|100|300|0", "全员禁言|hostsim-xlz-key|100|300|1",
                                      "禁言群成员|hostsim-xlz-key|100|300|200|300"}),
            Calls());
  On(kDuluHost);
  host_.MuteGroup("100", "300", "", 0);
  EXPECT_EQ((std::vector<std::string>{
                "群聊_置全体禁言|sig|00 00 00 00 00 00 00 64 00 00 00 00 00 00 01 2C 00"}),
            Calls())
      << "the lift is the byte 0";
}

TEST_F(HostApiTest, UploadsAndTheirFailures) {
  TempDir dir;
  const std::string picture = dir.path() + "\\p.png";
  ASSERT_TRUE(SystemPlatform().WriteFile(picture, "PNGDATA").ok());

  On(kDrHost);
  EXPECT_EQ("[pic,hash=sim7]", host_.UploadPicture("100", "300", picture, kTargetGroup));
  EXPECT_EQ(std::vector<std::string>{"Api_UpLoadPic|100|2|300||0|0|7 bytes"}, Calls());
  EXPECT_GBK_EQ("上传语音失败！", host_.UploadVoice("100", "300", picture, 1));
  EXPECT_EQ(std::vector<std::string>{"Api_OutPutLog|插件：岚风守望——上传语音失败！"}, Calls());

  On(kXlzHost);
  EXPECT_EQ("[pic=friend,wide=0,high=0,cartoon=false,str=]",
            host_.UploadPicture("100", "200", dir.path() + "\\missing.png", 2));
  EXPECT_EQ(std::vector<std::string>{"上传好友图片|hostsim-xlz-key|100|200|0|0 bytes"}, Calls())
      << "a missing file is an empty buffer";
  EXPECT_EQ("[video,wide=0,high=0,time=0]", host_.UploadVideo("100", "200", "v.mp4", picture, 3))
      << "any kind uploads on this host";

  On(kDuluHost);
  EXPECT_GBK_EQ("上传视频失败！", host_.UploadVideo("100", "200", picture, picture, 3));
  EXPECT_EQ(std::vector<std::string>{"输出日志|sig|插件：岚风守望——上传视频失败！|255"}, Calls());
  EXPECT_EQ("[video=group]", host_.UploadVideo("100", "300", picture, picture, 1));
}

TEST_F(HostApiTest, UidsExistOnlyOnTheDrHost) {
  On(kXlzHost);
  EXPECT_GBK_EQ("DR框架获取好友UID失败！", host_.GetFriendUid("100", "200"));
  EXPECT_EQ(std::vector<std::string>{"输出日志|hostsim-xlz-key|插件：岚风守望——DR框架获取好友UID失败！|255|65535"},
            Calls());
}

TEST_F(HostApiTest, GroupRequestsMapTheDecisionToTheHostsCodes) {
  On(kXlzHost);
  host_.HandleGroupRequest("100", "300", "200", "77", "1", "2", 1);
  host_.HandleGroupRequest("100", "300", "200", "77", "1", "2", 2);
  host_.HandleGroupRequest("100", "300", "200", "77", "1", "2", 3);
  EXPECT_EQ((std::vector<std::string>{"处理群验证事件|hostsim-xlz-key|100|300|200|77|11|1|",
                                      "处理群验证事件|hostsim-xlz-key|100|300|200|77|12|1|"}),
            Calls());
  On(kDrHost);
  host_.HandleGroupRequest("100", "300", "200", "77", "1", "2", 2);
  EXPECT_EQ(std::vector<std::string>{"Api_HandleGroupEvent|100|300|77|2"}, Calls());
}

TEST_F(HostApiTest, ProfileChangesReachEachHostsFunction) {
  On(kDrHost);
  host_.SetNickname("100", "昵");
  host_.SetSignature("100", "签");
  EXPECT_EQ((std::vector<std::string>{"Api_SetRInfEx|100|{\"info\":{\"昵称\":\"昵\"}}",
                                      "Api_SetRInfEx|100|{\"info\":{\"个人说明\":\"签\"}}"}),
            Calls());
  On(kXlzHost);
  host_.SetNickname("100", "昵");
  host_.KickGroupMember("100", "300", "200");
  EXPECT_EQ((std::vector<std::string>{"修改昵称|hostsim-xlz-key|100|昵", "删除群成员|hostsim-xlz-key|100|300|200|0"}),
            Calls());
  On(kDuluHost);
  host_.KickGroupMember("100", "300", "200");
  EXPECT_TRUE(Calls().empty()) << "the dulu host cannot remove members";
}

}  // namespace
}  // namespace lanfeng
