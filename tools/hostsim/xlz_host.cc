#include "xlz_host.h"

#include <cstdint>
#include <mutex>
#include <string>

#include "accounts.h"
#include "host/host_call.h"
#include "host_calls.h"

namespace hostsim {
namespace {

using Text = const char*;
using std::to_string;

std::mutex state_mu;
std::string account_list = "{\"QQlist\":{}}";
std::string delete_answer = "0";
thread_local std::string answer;  // a text answer stays valid until the next call

Text Answer(std::string text) {
  answer = std::move(text);
  return answer.c_str();
}

std::string Bytes(intptr_t, int32_t length) { return to_string(length) + " bytes"; }

Text HOST_CALL Log(Text key, Text line, int32_t colour, int32_t background) {
  RecordCall("输出日志", {TextArg(key), TextArg(line), to_string(colour), to_string(background)});
  return Answer("");
}
Text HOST_CALL SendFriend(Text key, int64_t robot, int64_t friend_account, Text message, int64_t* a, int32_t* b) {
  RecordCall("发送好友消息", {TextArg(key), to_string(robot), to_string(friend_account), TextArg(message),
                              a ? "out" : "null", b ? "out" : "null"});
  return Answer("");
}
Text HOST_CALL SendGroup(Text key, int64_t robot, int64_t group, Text message, int32_t flag) {
  RecordCall("发送群消息", {TextArg(key), to_string(robot), to_string(group), TextArg(message), to_string(flag)});
  return Answer("");
}
Text HOST_CALL SendTemp(Text key, int64_t robot, int64_t group_id, int64_t friend_account, Text message, int64_t*,
              int32_t*) {
  RecordCall("发送群临时消息",
             {TextArg(key), to_string(robot), to_string(group_id), to_string(friend_account), TextArg(message)});
  return Answer("");
}
int64_t HOST_CALL GroupId(Text key, int64_t group) {
  RecordCall("取群Id_从缓存", {TextArg(key), to_string(group)});
  return group + 9000000000;
}
Text HOST_CALL UploadFriendPicture(Text key, int64_t robot, int64_t target, int32_t flag, intptr_t data, int32_t size) {
  RecordCall("上传好友图片", {TextArg(key), to_string(robot), to_string(target), to_string(flag), Bytes(data, size)});
  return Answer("[pic=friend]");
}
Text HOST_CALL UploadGroupPicture(Text key, int64_t robot, int64_t target, int32_t flag, intptr_t data, int32_t size) {
  RecordCall("上传群图片", {TextArg(key), to_string(robot), to_string(target), to_string(flag), Bytes(data, size)});
  return Answer("[pic=group]");
}
Text HOST_CALL UploadFriendVoice(Text key, int64_t robot, int64_t target, int32_t type, Text text, intptr_t data,
                       int32_t size) {
  RecordCall("上传好友语音", {TextArg(key), to_string(robot), to_string(target), to_string(type), TextArg(text),
                              Bytes(data, size)});
  return Answer("[voice=friend]");
}
Text HOST_CALL UploadGroupVoice(Text key, int64_t robot, int64_t target, int32_t type, Text text, intptr_t data,
                      int32_t size) {
  RecordCall("上传群语音", {TextArg(key), to_string(robot), to_string(target), to_string(type), TextArg(text),
                            Bytes(data, size)});
  return Answer("[voice=group]");
}
Text HOST_CALL UploadVideo(Text key, int64_t robot, int64_t group, Text path, intptr_t data, int32_t size) {
  RecordCall("上传小视频", {TextArg(key), to_string(robot), to_string(group), TextArg(path), Bytes(data, size)});
  return Answer("[video]");
}
Text HOST_CALL UploadAvatar(Text key, int64_t robot, intptr_t data, int32_t size) {
  RecordCall("上传头像", {TextArg(key), to_string(robot), Bytes(data, size)});
  return Answer("");
}
int32_t HOST_CALL ChangeNickname(Text key, int64_t robot, Text name) {
  RecordCall("修改昵称", {TextArg(key), to_string(robot), TextArg(name)});
  return 1;
}
int32_t HOST_CALL ChangeSignature(Text key, int64_t robot, Text signature, Text second) {
  RecordCall("修改个性签名", {TextArg(key), to_string(robot), TextArg(signature), TextArg(second)});
  return 1;
}
int32_t HOST_CALL ChangeGroupName(Text key, int64_t robot, int64_t group, Text name) {
  RecordCall("修改群名称", {TextArg(key), to_string(robot), to_string(group), TextArg(name)});
  return 1;
}
Text HOST_CALL SetGroupCard(Text key, int64_t robot, int64_t group, int64_t member, Text card) {
  RecordCall("设置群名片", {TextArg(key), to_string(robot), to_string(group), to_string(member), TextArg(card)});
  return Answer("");
}
Text HOST_CALL Like(Text key, int64_t robot, int64_t friend_account) {
  RecordCall("QQ点赞", {TextArg(key), to_string(robot), to_string(friend_account)});
  return Answer("");
}
void HOST_CALL GroupVerification(Text key, int64_t robot, int64_t group, int64_t requester, int64_t sequence,
                       int32_t operation, int32_t type, Text reason) {
  RecordCall("处理群验证事件", {TextArg(key), to_string(robot), to_string(group), to_string(requester),
                                to_string(sequence), to_string(operation), to_string(type), TextArg(reason)});
}
void HOST_CALL FriendVerification(Text key, int64_t robot, int64_t requester, int64_t sequence, int32_t operation) {
  RecordCall("处理好友验证事件",
             {TextArg(key), to_string(robot), to_string(requester), to_string(sequence), to_string(operation)});
}
int32_t HOST_CALL MuteAll(Text key, int64_t robot, int64_t group, int32_t on) {
  RecordCall("全员禁言", {TextArg(key), to_string(robot), to_string(group), to_string(on)});
  return 1;
}
int32_t HOST_CALL MuteMember(Text key, int64_t robot, int64_t group, int64_t member, int32_t seconds) {
  RecordCall("禁言群成员", {TextArg(key), to_string(robot), to_string(group), to_string(member), to_string(seconds)});
  return 1;
}
int32_t HOST_CALL RemoveMember(Text key, int64_t robot, int64_t group, int64_t member, int32_t flag) {
  RecordCall("删除群成员", {TextArg(key), to_string(robot), to_string(group), to_string(member), to_string(flag)});
  return 1;
}
int32_t HOST_CALL Recall(Text key, int64_t robot, int64_t group, int64_t sequence, int32_t id) {
  RecordCall("撤回消息_群聊", {TextArg(key), to_string(robot), to_string(group), to_string(sequence), to_string(id)});
  return 1;
}
Text HOST_CALL DeleteQq(Text key, int64_t account, int32_t flag) {
  RecordCall("QQ列表_删除QQ", {TextArg(key), to_string(account), to_string(flag)});
  std::string reply;
  {
    std::lock_guard<std::mutex> lock(state_mu);
    reply = delete_answer;
  }
  if (reply == "0") RemoveAccount(to_string(account));
  return Answer(reply);
}
Text HOST_CALL FrameworkQq(Text key) {
  RecordCall("取框架QQ", {TextArg(key)});
  std::lock_guard<std::mutex> lock(state_mu);
  return Answer(account_list);
}

struct Entry {
  const char* name;
  void* address;
};

#define XLZ_ENTRY(name, fn) {name, reinterpret_cast<void*>(&fn)}
const Entry kEntries[] = {
    XLZ_ENTRY("输出日志", Log),
    XLZ_ENTRY("发送好友消息", SendFriend),
    XLZ_ENTRY("发送群消息", SendGroup),
    XLZ_ENTRY("发送群临时消息", SendTemp),
    XLZ_ENTRY("取群Id_从缓存", GroupId),
    XLZ_ENTRY("上传好友图片", UploadFriendPicture),
    XLZ_ENTRY("上传群图片", UploadGroupPicture),
    XLZ_ENTRY("上传好友语音", UploadFriendVoice),
    XLZ_ENTRY("上传群语音", UploadGroupVoice),
    XLZ_ENTRY("上传小视频", UploadVideo),
    XLZ_ENTRY("上传头像", UploadAvatar),
    XLZ_ENTRY("修改昵称", ChangeNickname),
    XLZ_ENTRY("修改个性签名", ChangeSignature),
    XLZ_ENTRY("修改群名称", ChangeGroupName),
    XLZ_ENTRY("设置群名片", SetGroupCard),
    XLZ_ENTRY("QQ点赞", Like),
    XLZ_ENTRY("处理群验证事件", GroupVerification),
    XLZ_ENTRY("处理好友验证事件", FriendVerification),
    XLZ_ENTRY("全员禁言", MuteAll),
    XLZ_ENTRY("禁言群成员", MuteMember),
    XLZ_ENTRY("删除群成员", RemoveMember),
    XLZ_ENTRY("撤回消息_群聊", Recall),
    XLZ_ENTRY("QQ列表_删除QQ", DeleteQq),
    XLZ_ENTRY("取框架QQ", FrameworkQq),
};
#undef XLZ_ENTRY

}  // namespace

std::string XlzApiList() {
  std::string list = "{";
  for (const Entry& entry : kEntries) {
    list += std::string(list.size() > 1 ? "," : "") + "\"" + entry.name +
            "\":" + std::to_string(reinterpret_cast<uintptr_t>(entry.address));
  }
  return list + "}";
}

void SetXlzAccountList(const std::string& json) {
  std::lock_guard<std::mutex> lock(state_mu);
  account_list = json;
}

void SetXlzDeleteAnswer(const std::string& new_answer) {
  std::lock_guard<std::mutex> lock(state_mu);
  delete_answer = new_answer;
}

}  // namespace hostsim
