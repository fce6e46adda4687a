#include "host/host_api.h"

#include <limits>

#include "host/dr_binding.h"
#include "host/dulu_binding.h"
#include "host/xlz_binding.h"
#include "platform/platform.h"

namespace lanfeng {
namespace {

// The whole file, or nothing when it cannot be read.
std::string ReadWholeFile(const std::string& path) {
  std::string data;
  if (!CurrentPlatform().ReadFile(path, &data).ok()) data.clear();
  return data;
}

constexpr char kUidFailure[] = "DR框架获取好友UID失败！";
constexpr char kPictureFailure[] = "上传图片失败！";
constexpr char kVoiceFailure[] = "上传语音失败！";
constexpr char kVideoFailure[] = "上传视频失败！";

// The XiaoLiZi and dulu operation codes of a group-request decision.
constexpr int32_t kAcceptCode = 11, kRefuseCode = 12;

}  // namespace

int64_t TextToInt64(const std::string& text) {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
  uint64_t value = 0;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  size_t digits = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, ++digits) {
    uint64_t digit = static_cast<uint64_t>(text[pos] - '0');
    if (value > (limit - digit) / 10) return 0;  // does not fit
    value = value * 10 + digit;
  }
  if (digits == 0) return 0;
  return negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

int32_t TextToInt32(const std::string& text) {
  int64_t value = TextToInt64(text);
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return 0;
  }
  return static_cast<int32_t>(value);
}

std::string HostApi::Failure(const std::string& text) {
  Log(text);
  return text;
}

void HostApi::Log(const std::string& text) {
  const std::string line = kLogPrefix + text;
  switch (kind()) {
    case kDrHost: dr_.OutPutLog(line); break;
    case kXlzHost: xlz_.OutputLog(line, 255, 65535); break;
    case kDuluHost: dulu_.OutputLog(line, 255); break;
    default: break;
  }
}

std::string HostApi::GetFriendUid(const std::string& robot, const std::string& friend_account) {
  if (kind() != kDrHost) return Failure(kUidFailure);
  std::string uid = dr_.GetQQtoUid(friend_account);
  if (uid.empty()) uid = dr_.GetQQtoUidEx(robot, friend_account);
  return uid;
}

void HostApi::SendMessage(const std::string& robot, const std::string& group,
                          const std::string& friend_account, const std::string& text,
                          int32_t message_kind) {
  if (message_kind < kGroupMessage || message_kind > kTempMessage) return;
  const int64_t r64 = TextToInt64(robot), g64 = TextToInt64(group), f64 = TextToInt64(friend_account);
  switch (kind()) {
    case kDrHost:
      if (message_kind == kGroupMessage) dr_.SendMsg(robot, 2, group, text);
      if (message_kind == kFriendMessage) dr_.SendMsg(robot, 1, GetFriendUid(robot, friend_account), text);
      if (message_kind == kTempMessage) {
        dr_.SendTempGroupMsg(robot, group, GetFriendUid(robot, friend_account), text);
      }
      break;
    case kXlzHost:
      if (message_kind == kGroupMessage) xlz_.SendGroupMessage(r64, g64, text, false);
      if (message_kind == kFriendMessage) xlz_.SendFriendMessage(r64, f64, text);
      if (message_kind == kTempMessage) {
        xlz_.SendGroupTempMessage(r64, xlz_.GetGroupIdFromCache(g64), f64, text);
      }
      break;
    case kDuluHost:
      if (message_kind == kGroupMessage) dulu_.SendGroupMessage(r64, g64, text);
      if (message_kind == kFriendMessage) dulu_.SendFriendMessage(r64, f64, text);
      if (message_kind == kTempMessage) dulu_.SendTempMessage(r64, g64, f64, text);
      break;
    default: break;
  }
}

std::string HostApi::UploadPicture(const std::string& robot, const std::string& target,
                                   const std::string& path, int32_t target_kind) {
  const bool to_group = target_kind == kTargetGroup;
  const int64_t r64 = TextToInt64(robot), t64 = TextToInt64(target);
  switch (kind()) {
    case kDrHost:
      return to_group ? dr_.UpLoadPic(robot, 2, target, "", ReadWholeFile(path))
                      : dr_.UpLoadPic(robot, 1, "", target, ReadWholeFile(path));
    case kXlzHost:
      return to_group ? xlz_.UploadGroupPicture(r64, t64, false, ReadWholeFile(path))
                      : xlz_.UploadFriendPicture(r64, t64, false, ReadWholeFile(path));
    case kDuluHost:
      return to_group ? dulu_.UploadGroupPicture(r64, t64, ReadWholeFile(path))
                      : dulu_.UploadFriendPicture(r64, t64, ReadWholeFile(path));
    default: return Failure(kPictureFailure);
  }
}

std::string HostApi::UploadVoice(const std::string& robot, const std::string& target,
                                 const std::string& path, int32_t target_kind) {
  const bool to_group = target_kind == kTargetGroup;
  const int64_t r64 = TextToInt64(robot), t64 = TextToInt64(target);
  switch (kind()) {
    case kXlzHost: {
      std::string silk = xlz_.ConvertToSilk(path);
      return to_group ? xlz_.UploadGroupVoice(r64, t64, 0, "", silk)
                      : xlz_.UploadFriendVoice(r64, t64, 0, "", silk);
    }
    case kDuluHost:
      return to_group ? dulu_.UploadGroupVoice(r64, t64, ReadWholeFile(path))
                      : dulu_.UploadFriendVoice(r64, t64, ReadWholeFile(path));
    default: return Failure(kVoiceFailure);
  }
}

std::string HostApi::UploadVideo(const std::string& robot, const std::string& target,
                                 const std::string& video_path, const std::string& cover_path,
                                 int32_t target_kind) {
  const int64_t r64 = TextToInt64(robot), t64 = TextToInt64(target);
  switch (kind()) {
    case kXlzHost:
      return xlz_.UploadShortVideo(r64, t64, video_path, ReadWholeFile(cover_path));
    case kDuluHost:
      if (target_kind == 1) return dulu_.UploadGroupVideo(r64, t64, ReadWholeFile(video_path));
      if (target_kind == 2) return dulu_.UploadFriendVideo(r64, t64, ReadWholeFile(video_path));
      return Failure(kVideoFailure);
    default: return Failure(kVideoFailure);
  }
}

void HostApi::SetAvatar(const std::string& robot, const std::string& path) {
  switch (kind()) {
    case kDrHost: dr_.UpLoad(robot, path); break;
    case kXlzHost: xlz_.UploadAvatar(TextToInt64(robot), ReadWholeFile(path)); break;
    case kDuluHost: dulu_.UpdateAvatar(TextToInt64(robot), ReadWholeFile(path)); break;
    default: break;
  }
}

void HostApi::SetNickname(const std::string& robot, const std::string& nickname) {
  switch (kind()) {
    case kDrHost: {
      DrProfile profile;
      profile.nickname = nickname;
      dr_.SetRInfEx(robot, profile);
      break;
    }
    case kXlzHost: xlz_.ChangeNickname(TextToInt64(robot), nickname); break;
    case kDuluHost: dulu_.SetNickname(TextToInt64(robot), nickname); break;
    default: break;
  }
}

void HostApi::SetSignature(const std::string& robot, const std::string& signature) {
  switch (kind()) {
    case kDrHost: {
      DrProfile profile;
      profile.signature = signature;
      dr_.SetRInfEx(robot, profile);
      break;
    }
    case kXlzHost: xlz_.ChangeSignature(TextToInt64(robot), signature); break;
    case kDuluHost: dulu_.PublishSignature(TextToInt64(robot), signature); break;
    default: break;
  }
}

void HostApi::SetGroupName(const std::string& robot, const std::string& group,
                           const std::string& name) {
  switch (kind()) {
    case kDrHost: dr_.SetGroupName(robot, group, name); break;
    case kXlzHost: xlz_.ChangeGroupName(TextToInt64(robot), TextToInt64(group), name); break;
    case kDuluHost: dulu_.SetGroupName(TextToInt64(robot), TextToInt64(group), name); break;
    default: break;
  }
}

void HostApi::SetGroupCard(const std::string& robot, const std::string& group,
                           const std::string& member, const std::string& card) {
  const int64_t r64 = TextToInt64(robot), g64 = TextToInt64(group), m64 = TextToInt64(member);
  switch (kind()) {
    case kDrHost: dr_.SetGroupCard(robot, group, GetFriendUid(robot, member), card); break;
    case kXlzHost: xlz_.SetGroupCard(r64, g64, m64, card); break;
    case kDuluHost: dulu_.SetGroupCard(r64, g64, m64, card); break;
    default: break;
  }
}

void HostApi::LikeProfile(const std::string& robot, const std::string& friend_account) {
  switch (kind()) {
    case kDrHost: dr_.UpVote(robot, GetFriendUid(robot, friend_account)); break;
    case kXlzHost: xlz_.LikeQq(TextToInt64(robot), TextToInt64(friend_account)); break;
    case kDuluHost: dulu_.LikeProfile(TextToInt64(robot), TextToInt64(friend_account), 1); break;
    default: break;
  }
}

void HostApi::HandleGroupRequest(const std::string& robot, const std::string& group,
                                 const std::string& requester, const std::string& sequence,
                                 const std::string& event_type, const std::string& second_code,
                                 int32_t decision) {
  if (kind() == kDrHost) {
    dr_.HandleGroupEvent(robot, group, sequence, decision);
    return;
  }
  if (decision != 1 && decision != 2) return;
  const int32_t code = decision == 1 ? kAcceptCode : kRefuseCode;
  const int64_t r64 = TextToInt64(robot), g64 = TextToInt64(group);
  const int64_t requester64 = TextToInt64(requester), sequence64 = TextToInt64(sequence);
  if (kind() == kXlzHost) {
    xlz_.HandleGroupVerification(r64, g64, requester64, sequence64, code, TextToInt32(event_type));
  } else if (kind() == kDuluHost) {
    dulu_.HandleGroupRequest(r64, TextToInt32(event_type), TextToInt32(second_code), g64,
                             requester64, sequence64, code);
  }
}

void HostApi::HandleFriendRequest(const std::string& robot, const std::string& requester,
                                  const std::string& sequence) {
  const int64_t r64 = TextToInt64(robot), q64 = TextToInt64(requester), s64 = TextToInt64(sequence);
  switch (kind()) {
    case kDrHost: dr_.HandleFriendEvent(robot, GetFriendUid(robot, requester)); break;
    case kXlzHost: xlz_.HandleFriendVerification(r64, q64, s64, 1); break;
    case kDuluHost: dulu_.HandleFriendRequest(r64, q64, s64); break;
    default: break;
  }
}

void HostApi::MuteGroup(const std::string& robot, const std::string& group,
                        const std::string& member, int32_t minutes) {
  const int64_t r64 = TextToInt64(robot), g64 = TextToInt64(group), m64 = TextToInt64(member);
  if (member.empty()) {
    switch (kind()) {
      case kDrHost: dr_.ShutUP(robot, group, "", minutes); break;
      case kXlzHost: xlz_.MuteAllMembers(r64, g64, minutes != 0); break;
      case kDuluHost: dulu_.MuteAll(r64, g64, minutes != 0); break;
      default: break;
    }
    return;
  }
  const int32_t seconds = minutes == 0 ? 0 : minutes * 60;
  switch (kind()) {
    case kDrHost: dr_.ShutUP(robot, group, GetFriendUid(robot, member), seconds); break;
    case kXlzHost: xlz_.MuteGroupMember(r64, g64, m64, seconds); break;
    case kDuluHost: dulu_.MuteMember(r64, g64, m64, seconds); break;
    default: break;
  }
}

void HostApi::KickGroupMember(const std::string& robot, const std::string& group,
                              const std::string& member) {
  switch (kind()) {
    case kDrHost: dr_.KickGroupMBR(robot, group, GetFriendUid(robot, member)); break;
    case kXlzHost:
      xlz_.RemoveGroupMember(TextToInt64(robot), TextToInt64(group), TextToInt64(member), false);
      break;
    default: break;
  }
}

void HostApi::RecallGroupMessage(const std::string& robot, const std::string& group,
                                 const std::string& sequence, const std::string& message_id) {
  const int64_t r64 = TextToInt64(robot), g64 = TextToInt64(group);
  switch (kind()) {
    case kDrHost: dr_.WithdrawGroupMsg(robot, group, sequence, message_id); break;
    case kXlzHost:
      xlz_.RecallGroupMessage(r64, g64, TextToInt64(sequence), TextToInt32(message_id));
      break;
    case kDuluHost:
      dulu_.RecallGroupMessage(r64, g64, TextToInt32(sequence), TextToInt32(message_id));
      break;
    default: break;
  }
}

bool HostApi::DeleteAccount(const std::string& account) {
  switch (kind()) {
    case kDrHost: dr_.DelQQ(account); return true;
    case kXlzHost: return xlz_.DeleteQqFromList(TextToInt64(account), true) == "0";
    case kDuluHost: return dulu_.DeleteAccount(TextToInt64(account));
    default: return false;
  }
}

}  // namespace lanfeng
