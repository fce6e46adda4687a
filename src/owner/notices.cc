#include "owner/notices.h"

namespace lanfeng {
namespace {

// Every notice starts with the robot account; the event's own label follows.
std::string Head(const std::string& robot) { return "--机器人账号：" + robot; }

}  // namespace

void NoticeFriendAdded(HostApi& host, const std::string& robot, const std::string& friend_account) {
  host.Log(Head(robot) + "--有人加我好友！\r\n触发账号：" + friend_account);
}

void NoticeProfileLiked(HostApi& host, const std::string& robot, const std::string& liker) {
  host.Log(Head(robot) + "--名片赞被点赞！\r\n点赞账号：" + liker);
}

void NoticeInvitedToGroup(HostApi& host, const std::string& robot, const std::string& group,
                          const std::string& inviter) {
  host.Log(Head(robot) + "--被邀请进群了！\r\n邀请账号：" + inviter + "\r\n邀请群号：" + group);
}

void NoticeMemberJoined(HostApi& host, const std::string& robot, const std::string& group,
                        const std::string& member) {
  host.Log(Head(robot) + "--有人进群了！\r\n进群账号：" + member + "\r\n群聊号码：" + group);
}

void NoticeMemberInvited(HostApi& host, const std::string& robot, const std::string& group,
                         const std::string& inviter, const std::string& invited) {
  host.Log(Head(robot) + "--有人被邀请进群！\r\n邀请账号：" + inviter + "\r\n被邀请账号：" + invited +
           "\r\n群聊号码：" + group);
}

void NoticeJoinRequest(HostApi& host, const std::string& robot, const std::string& group,
                       const std::string& applicant) {
  host.Log(Head(robot) + "--有人申请进群！\r\n申请账号：" + applicant + "\r\n申请群号：" + group);
}

void NoticeMemberLeft(HostApi& host, const std::string& robot, const std::string& group,
                      const std::string& member) {
  host.Log(Head(robot) + "--某人退出群聊！\r\n退出账号：" + member + "\r\n退出群号：" + group);
}

void NoticeMemberKicked(HostApi& host, const std::string& robot, const std::string& group,
                        const std::string& operator_account, const std::string& removed) {
  host.Log(Head(robot) + "--某人被踢出群聊！\r\n操作账号：" + operator_account + "\r\n踢出账号：" +
           removed + "\r\n群聊号码：" + group);
}

}  // namespace lanfeng
