#include "dulu_host.h"

#include <atomic>
#include <mutex>
#include <string>

#include "host/dulu_binding.h"
#include "host/packet_codec.h"
#include "host/typed_hash_map.h"
#include "accounts.h"
#include "host_calls.h"

namespace hostsim {
namespace {

using lanfeng::HostAddress;
using Text = const char*;
using std::to_string;

std::mutex state_mu;
std::string account_list = "{}";
std::atomic<int> delete_status{1};
thread_local std::string answer;  // a text answer stays valid until the next call

Text Answer(std::string text) {
  answer = std::move(text);
  return answer.c_str();
}

// A packed answer: the status byte, then an optional code.
Text PackedAnswer(int status, const std::string& code = "") {
  std::string bytes(1, static_cast<char>(status));
  return Answer(lanfeng::HexEncode(bytes + code));
}

void HOST_CALL Log(Text signature, Text line, int32_t colour) {
  RecordCall("输出日志", {TextArg(signature), TextArg(line), to_string(colour)});
}
Text HOST_CALL SendGroup(Text signature, int64_t robot, int64_t group, Text message) {
  RecordCall("发送消息_群聊", {TextArg(signature), to_string(robot), to_string(group), TextArg(message)});
  return Answer("");
}
Text HOST_CALL SendFriend(Text signature, int64_t robot, int64_t friend_account, Text message) {
  RecordCall("发送消息_好友", {TextArg(signature), to_string(robot), to_string(friend_account), TextArg(message)});
  return Answer("");
}
Text HOST_CALL UploadGroupPicture(Text signature, int64_t robot, int64_t target, int32_t zero, HostAddress,
                        int32_t length, int32_t zero_too) {
  RecordCall("群聊_上传图片", {TextArg(signature), to_string(robot), to_string(target), to_string(zero),
                              to_string(length) + " bytes", to_string(zero_too)});
  return Answer("[pic=group]");
}
Text HOST_CALL UploadFriendPicture(Text signature, int64_t robot, int64_t target, int32_t zero, HostAddress,
                         int32_t length, int32_t zero_too) {
  RecordCall("好友_上传图片", {TextArg(signature), to_string(robot), to_string(target), to_string(zero),
                              to_string(length) + " bytes", to_string(zero_too)});
  return Answer("[pic=friend]");
}
void HOST_CALL UpdateAvatar(Text signature, int64_t robot, HostAddress, int32_t length) {
  RecordCall("更新头像", {TextArg(signature), to_string(robot), to_string(length) + " bytes"});
}
Text HOST_CALL AccountList(Text signature) {
  RecordCall("取框架QQ", {TextArg(signature)});
  std::lock_guard<std::mutex> lock(state_mu);
  return Answer(account_list);
}

// Packed functions record their record's hex text and answer a status.
#define DULU_PACKED(fn, name, reply)                        \
  Text HOST_CALL fn(Text signature, Text record) {          \
    RecordCall(name, {TextArg(signature), TextArg(record)}); \
    return reply;                                           \
  }
DULU_PACKED(SendTemp, "发送消息_临时", PackedAnswer(1, std::string("\0\0\0\1\0\0\0\2", 8)))
DULU_PACKED(UploadGroupVoice, "群聊_上传语音", PackedAnswer(1, "[voice=group]"))
DULU_PACKED(UploadFriendVoice, "好友_上传语音", PackedAnswer(1, "[voice=friend]"))
DULU_PACKED(UploadGroupVideo, "群聊_上传视频", PackedAnswer(1, "[video=group]"))
DULU_PACKED(UploadFriendVideo, "好友_上传视频", PackedAnswer(1, "[video=friend]"))
DULU_PACKED(SetNickname, "自身_修改昵称", PackedAnswer(1))
DULU_PACKED(PublishSignature, "自身_发布个性签名", PackedAnswer(1))
DULU_PACKED(SetGroupName, "群聊_置名称", PackedAnswer(1))
DULU_PACKED(SetGroupCard, "群聊_置成员名片", PackedAnswer(1))
DULU_PACKED(LikeProfile, "好友_点赞名片", PackedAnswer(1))
DULU_PACKED(HandleGroupRequest, "群聊_处理验证请求", PackedAnswer(1))
DULU_PACKED(HandleFriendRequest, "好友_处理验证请求", PackedAnswer(1))
DULU_PACKED(MuteAll, "群聊_置全体禁言", PackedAnswer(1))
DULU_PACKED(MuteMember, "群聊_置禁言成员", PackedAnswer(1))
DULU_PACKED(Recall, "群聊_撤回消息", PackedAnswer(1))
// "账号_删除": removes the account (the record's eight bytes) when it succeeds.
Text HOST_CALL DeleteAccount(Text signature, Text record) {
  RecordCall("账号_删除", {TextArg(signature), TextArg(record)});
  const int status = delete_status.load();
  lanfeng::PacketReader reader;
  reader.Load(lanfeng::HexDecode(TextArg(record)));
  if (status == 1) RemoveAccount(to_string(reader.ReadInt64()));
  return PackedAnswer(status);
}
#undef DULU_PACKED

// The functions, checked against the signatures the plugin calls them with.
struct Entry {
  const char* name;
  HostAddress address;
};
template <typename Signature>
HostAddress Address(Signature fn) {
  return reinterpret_cast<HostAddress>(fn);
}
const Entry kEntries[] = {
    {"输出日志", Address<lanfeng::dulu_host::Log>(Log)},
    {"发送消息_群聊", Address<lanfeng::dulu_host::SendMessage>(SendGroup)},
    {"发送消息_好友", Address<lanfeng::dulu_host::SendMessage>(SendFriend)},
    {"群聊_上传图片", Address<lanfeng::dulu_host::UploadPicture>(UploadGroupPicture)},
    {"好友_上传图片", Address<lanfeng::dulu_host::UploadPicture>(UploadFriendPicture)},
    {"更新头像", Address<lanfeng::dulu_host::UpdateAvatar>(UpdateAvatar)},
    {"取框架QQ", Address<lanfeng::dulu_host::AccountList>(AccountList)},
    {"发送消息_临时", Address<lanfeng::dulu_host::Packed>(SendTemp)},
    {"群聊_上传语音", Address<lanfeng::dulu_host::Packed>(UploadGroupVoice)},
    {"好友_上传语音", Address<lanfeng::dulu_host::Packed>(UploadFriendVoice)},
    {"群聊_上传视频", Address<lanfeng::dulu_host::Packed>(UploadGroupVideo)},
    {"好友_上传视频", Address<lanfeng::dulu_host::Packed>(UploadFriendVideo)},
    {"自身_修改昵称", Address<lanfeng::dulu_host::Packed>(SetNickname)},
    {"自身_发布个性签名", Address<lanfeng::dulu_host::Packed>(PublishSignature)},
    {"群聊_置名称", Address<lanfeng::dulu_host::Packed>(SetGroupName)},
    {"群聊_置成员名片", Address<lanfeng::dulu_host::Packed>(SetGroupCard)},
    {"好友_点赞名片", Address<lanfeng::dulu_host::Packed>(LikeProfile)},
    {"群聊_处理验证请求", Address<lanfeng::dulu_host::Packed>(HandleGroupRequest)},
    {"好友_处理验证请求", Address<lanfeng::dulu_host::Packed>(HandleFriendRequest)},
    {"群聊_置全体禁言", Address<lanfeng::dulu_host::Packed>(MuteAll)},
    {"群聊_置禁言成员", Address<lanfeng::dulu_host::Packed>(MuteMember)},
    {"群聊_撤回消息", Address<lanfeng::dulu_host::Packed>(Recall)},
    {"账号_删除", Address<lanfeng::dulu_host::Packed>(DeleteAccount)},
};

// Hands out the API table: the hex text of a serialized map from each
// function's name to its address.
Text HOST_CALL Supplier(int32_t zero) {
  RecordCall("API表", {to_string(zero)});
  lanfeng::TypedHashMap table;
  table.Configure(lanfeng::kMapText, lanfeng::kMapInt64);
  for (const Entry& entry : kEntries) table.Put(entry.name, static_cast<int64_t>(entry.address));
  return Answer(lanfeng::HexEncode(table.Serialize()));
}

}  // namespace

intptr_t DuluApiSupplier() {
  return reinterpret_cast<intptr_t>(static_cast<lanfeng::dulu_host::Supplier>(Supplier));
}

std::string DescribeDuluIdentity(const std::string& hex) {
  lanfeng::TypedHashMap identity;
  if (!identity.Load(lanfeng::HexDecode(hex))) return "(不是一个序列化的映射)";
  std::string lines;
  for (const char* key : {"名称", "作者", "版本", "最新", "说明", "目录", "签名"}) {
    lines += std::string(key) + "=" + identity.GetText(key).value_or("(无)") + "\n";
  }
  return lines;
}

void SetDuluAccountList(const std::string& json) {
  std::lock_guard<std::mutex> lock(state_mu);
  account_list = json;
}

void SetDuluDeleteStatus(int status) { delete_status = status; }

}  // namespace hostsim
