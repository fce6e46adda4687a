#include "net/notice.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "net/http_request.h"
#include "net/http_text.h"
#include "support/gbk_text_testing.h"
#include "support/http_test_servers.h"
#include "support/smtp_test_server.h"

namespace lanfeng {
namespace {

// Bodies are UTF-8 (u8 literals) as the maker's server sends them; notices
// come back as GBK (narrow literals).
class NoticeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start());
    url_.emplace(kNoticeUrlSetting, server_.Url("/2.php"));
  }

  HttpTestServer server_;
  std::optional<ScopedEnvironmentSetting> url_;
};

TEST_F(NoticeTest, LineBreakTagsInAnyCaseBecomeLineBreaks) {
  server_.SetNotice(u8"一<br>二<BR>三");
  EXPECT_GBK_EQ("一\r\n二\r\n三", FetchNotice());
  server_.SetNotice(u8"<Br>乗<bR><br");
  EXPECT_GBK_EQ("\r\n乗\r\n<br", FetchNotice());
}

TEST_F(NoticeTest, EmptyBodyGivesEmptyText) {
  server_.SetNotice("");
  EXPECT_EQ("", FetchNotice());
}

TEST_F(NoticeTest, CharactersGbkLacksAreDroppedAndTheRestKept) {
  const std::string body = u8"更新😀公告<br>v2";
  server_.SetNotice(body);
  EXPECT_GBK_EQ("更新公告\r\nv2", FetchNotice());
}

TEST_F(NoticeTest, TextEndsAtAZeroByteAndLosesItsByteOrderMark) {
  const std::string mark = "\xEF\xBB\xBF";
  server_.SetNotice(mark + u8"公告<br>a" + std::string(1, '\0') + "hidden<br>");
  EXPECT_GBK_EQ("公告\r\na", FetchNotice());
}

TEST(NoticeFailureTest, UnreachableOrSilentServerGivesEmptyText) {
  HttpTestServer server;
  ASSERT_TRUE(server.Start());
  RefusingPort refusing;
  ScopedEnvironmentSetting limit(kHttpTimeoutSetting, "200");
  for (const std::string& url :
       {"http://127.0.0.1:" + std::to_string(refusing.port()) + "/2.php", server.Url("/silent")}) {
    ScopedEnvironmentSetting setting(kNoticeUrlSetting, url);
    EXPECT_EQ("", FetchNotice()) << url;
  }
}

TEST(NoticeFailureTest, BuiltInUrlAsksTheNoticePathUnlessTheSettingReplacesIt) {
  const std::string built_in = NoticeUrl();
  EXPECT_EQ(0u, built_in.find("http")) << built_in;
  EXPECT_EQ("/2.php", UrlPath(built_in)) << built_in;
  ScopedEnvironmentSetting setting(kNoticeUrlSetting, "http://127.0.0.1:1/other");
  EXPECT_EQ("http://127.0.0.1:1/other", NoticeUrl());
}

}  // namespace
}  // namespace lanfeng
