#include "shell/identity.h"

#include <gtest/gtest.h>

#include <regex>

#include "shell/plugin_state.h"
#include "shell/xlz_permissions.h"
#include "support/gbk_text_testing.h"

namespace lanfeng {
namespace {

TEST(IdentityTest, DrDescriptionIsSixTaggedLines) {
  DrPluginInfo info{kPluginName, kPluginVersion, kPluginAuthor, kPluginDescription, kDrPluginKey,
                    kDrSdkCode};
  EXPECT_GBK_EQ(
      "插件名称{岚风守望}\r\n插件版本{1.0.9}\r\n插件作者{墨川}\r\n插件说明{作者QQ：1651327064}\r\n"
      "插件skey{7302KXQPLA5519047MZRTB6Y}\r\n插件sdk{S1}",
      DrDescriptionText(info));
}

TEST(IdentityTest, ApplicationNameDropsCharactersFilesCannotHold) {
  EXPECT_GBK_EQ("岚风守望", ApplicationName("岚风守望"));
  EXPECT_GBK_EQ("a岚bcdefg", ApplicationName("a/岚\\b:c*d?e\"<>|f'\r\ng"));
  // 乗 ends in the byte 5C, which is not a backslash of its own.
  EXPECT_EQ("\x81\x5C", ApplicationName("\x81\x5C"));
}

TEST(XlzRegistrationTest, JsonHasSeventeenMembersInOrderAndEveryPermission) {
  XlzCallbacks callbacks;
  callbacks.enable = 1001;
  callbacks.event = -5;
  XlzRegistration registration("岚风守望", callbacks);
  registration.AddAllPermissions(kXlzPermissionReason);
  const std::string json = registration.Json();

  const std::string head =
      "{\"sdkv\":\"5.1.7\",\"appname\":\"岚风守望\",\"author\":\"墨川\",\"appv\":\"1.0.9\","
      "\"describe\":\"作者QQ：1651327064\",\"getticketaddres\":0,\"getvefcodeaddres\":0,"
      "\"useproaddres\":1001,\"banproaddres\":0,\"unitproaddres\":0,\"setproaddres\":0,"
      "\"friendmsaddres\":0,\"groupmsaddres\":0,\"ChannelFunc\":0,\"eventmsaddres\":-5,"
      "\"PmDealFunc\":0,\"data\":{\"needapilist\":{\"输出日志\":{\"desc\":\"这是申请所有权限的例子\"},";
  EXPECT_GBK_EQ(head, json.substr(0, head.size()));
  const std::string tail = "\"上传QQ封面\":{\"desc\":\"这是申请所有权限的例子\"}}}}";
  EXPECT_GBK_EQ(tail, json.substr(json.size() - tail.size()));
  EXPECT_EQ(std::string::npos, json.find(",}"));
  size_t permissions = 0;
  for (size_t pos = json.find("{\"desc\":"); pos != std::string::npos;
       pos = json.find("{\"desc\":", pos + 1)) {
    ++permissions;
  }
  EXPECT_EQ(372u, permissions);
}

TEST(XlzRegistrationTest, ReasonsAreEscapedTrimmedAndBlankOnesSkipped) {
  XlzRegistration registration("x", {});
  registration.AddPermission(0, "out of range");
  registration.AddPermission(373, "out of range");
  registration.AddPermission(1, "  \xA1\xA1 ");
  registration.AddPermission(2, "\xA1\xA1say \"hi\"\\\r\n ");
  registration.AddPermission(372, "end");
  const std::string json = registration.Json();
  EXPECT_GBK_EQ(
      "\"data\":{\"needapilist\":{\"发送好友消息\":{\"desc\":\"say \\\"hi\\\"\\\\\\r\\n\"},"
      "\"上传QQ封面\":{\"desc\":\"end\"}}}}",
      json.substr(json.find("\"data\"")));

  XlzRegistration none("x", {});
  const std::string empty = none.Json();
  EXPECT_EQ("\"data\":{\"needapilist\":{}}}", empty.substr(empty.find("\"data\"")));
}

TEST(IdentityTest, DuluSignatureIsTheMd5OfNameAndAuthor) {
  EXPECT_EQ("81bc57d9dc3c36532f03cbb347704337", DuluSignature(kPluginName, kPluginAuthor));
  std::string other = DuluSignature(kPluginName, "someone");
  EXPECT_TRUE(std::regex_match(other, std::regex("[0-9a-f]{32}")));
  EXPECT_NE(other, DuluSignature(kPluginName, kPluginAuthor));
}

TEST(IdentityTest, FaultReportNamesTheApplicationCodeAndMessage) {
  EXPECT_GBK_EQ("插件运行出错：岚风守望", FaultReportTitle("岚风守望"));
  const std::string body = FaultReportBody("岚风守望", 7, "index out of range");
  EXPECT_EQ(0u, body.find("插件[岚风守望]"));
  EXPECT_NE(std::string::npos, body.find("\r\n\r\n错误代码：7\r\n错误信息：\r\nindex out of range"));
}

}  // namespace
}  // namespace lanfeng
