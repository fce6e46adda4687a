#include "owner/notices.h"

#include <gtest/gtest.h>

#include "support/gbk_text_testing.h"
#include "support/watch_fixture.h"

namespace lanfeng {
namespace {

class NoticesTest : public WatchFixture {
 protected:
  void SetUp() override { UseHost(kDrHost); }
  std::string Logged() {
    std::vector<std::string> lines = LogLines();
    return lines.size() == 1 ? lines[0] : "(" + std::to_string(lines.size()) + " lines)";
  }
};

TEST_F(NoticesTest, EachNoticeHasItsLabelsAndOrder) {
  NoticeFriendAdded(host_, "10001", "10002");
  EXPECT_GBK_EQ("--机器人账号：10001--有人加我好友！\r\n触发账号：10002", Logged());
  NoticeProfileLiked(host_, "10001", "10002");
  EXPECT_GBK_EQ("--机器人账号：10001--名片赞被点赞！\r\n点赞账号：10002", Logged());
  NoticeInvitedToGroup(host_, "10001", "300", "10002");
  EXPECT_GBK_EQ("--机器人账号：10001--被邀请进群了！\r\n邀请账号：10002\r\n邀请群号：300", Logged());
  NoticeMemberJoined(host_, "10001", "300", "10002");
  EXPECT_GBK_EQ("--机器人账号：10001--有人进群了！\r\n进群账号：10002\r\n群聊号码：300", Logged());
  NoticeMemberInvited(host_, "10001", "300", "10002", "10003");
  EXPECT_GBK_EQ("--机器人账号：10001--有人被邀请进群！\r\n邀请账号：10002\r\n被邀请账号：10003\r\n群聊号码：300",
                Logged());
  NoticeJoinRequest(host_, "10001", "300", "10002");
  EXPECT_GBK_EQ("--机器人账号：10001--有人申请进群！\r\n申请账号：10002\r\n申请群号：300", Logged());
  NoticeMemberLeft(host_, "10001", "300", "10002");
  EXPECT_GBK_EQ("--机器人账号：10001--某人退出群聊！\r\n退出账号：10002\r\n退出群号：300", Logged());
  NoticeMemberKicked(host_, "10001", "300", "10002", "10003");
  EXPECT_GBK_EQ("--机器人账号：10001--某人被踢出群聊！\r\n操作账号：10002\r\n踢出账号：10003\r\n群聊号码：300",
                Logged());
}

TEST_F(NoticesTest, AnEmptyGroupLeavesItsLabelLast) {
  NoticeMemberLeft(host_, "10001", "", "10002");
  EXPECT_GBK_EQ("--机器人账号：10001--某人退出群聊！\r\n退出账号：10002\r\n退出群号：", Logged());
}

}  // namespace
}  // namespace lanfeng
