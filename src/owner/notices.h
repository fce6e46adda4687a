// Notices about friend and group events, written to the host's log so the
// owner sees what happened to a robot account. Inputs are decimal texts,
// inserted as they are.
#pragma once

#include <string>

#include "host/host_api.h"

namespace lanfeng {

void NoticeFriendAdded(HostApi& host, const std::string& robot, const std::string& friend_account);
void NoticeProfileLiked(HostApi& host, const std::string& robot, const std::string& liker);
void NoticeInvitedToGroup(HostApi& host, const std::string& robot, const std::string& group,
                          const std::string& inviter);
void NoticeMemberJoined(HostApi& host, const std::string& robot, const std::string& group,
                        const std::string& member);
void NoticeMemberInvited(HostApi& host, const std::string& robot, const std::string& group,
                         const std::string& inviter, const std::string& invited);
void NoticeJoinRequest(HostApi& host, const std::string& robot, const std::string& group,
                       const std::string& applicant);
void NoticeMemberLeft(HostApi& host, const std::string& robot, const std::string& group,
                      const std::string& member);
void NoticeMemberKicked(HostApi& host, const std::string& robot, const std::string& group,
                        const std::string& operator_account, const std::string& removed);

}  // namespace lanfeng
