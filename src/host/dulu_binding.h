// The dulu host's API.
//
// At registration the dulu host hands us the address of one function, the
// supplier, which answers its API table: the hex text of a serialized
// TypedHashMap from each host function's name (GBK text) to its address.
// LoadApiTable loads that table; DuluBinding then calls each host function
// at the address the table gives for its name, the plugin's signature text
// always first. A function the table lacks (or lists as 0, or with a value
// that is not an integer) is skipped: a text answer is then empty, a status
// false.
//
// Two forms of call exist. Direct calls pass typed arguments: texts as
// NUL-terminated GBK strings, accounts and groups as 64-bit integers, other
// integers as 32 bits, a byte buffer as its address (pointer-sized) and a
// 32-bit length. Packed calls pass one text, the hex form of a big-endian
// record (PacketWriter), and answer a hex text that is read back with
// PacketReader: a status byte, sometimes followed by a code text or two
// 32-bit values. An empty, missing or undecodable answer reads as status 0.
//
// Inside a packed record a byte buffer is not copied: the record carries its
// address and length as two 32-bit fields, as the 32-bit Windows host lays
// it out. On a 64-bit build the field holds the low 32 bits of the address;
// the record keeps the same bytes on every build, and the only 64-bit dulu
// host is our emulator, which can check the length but not follow the
// address.
//
// The binding owns nothing: it reads the API table and the signature owned
// by the plugin state, which registration writes once before any worker
// starts. Afterwards both are only read, so calls take no lock and may come
// from several threads. Nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/host_call.h"
#include "host/typed_hash_map.h"

namespace lanfeng {

class PacketWriter;

// The signatures of the dulu host functions the plugin calls.
namespace dulu_host {

using Text = const char*;
// The supplier of the API table: one 32-bit argument, 0.
using Supplier = Text(HOST_CALL*)(int32_t zero);
// "输出日志".
using Log = void(HOST_CALL*)(Text signature, Text line, int32_t colour);
// "发送消息_群聊", "发送消息_好友".
using SendMessage = Text(HOST_CALL*)(Text signature, int64_t robot, int64_t target, Text message);
// "群聊_上传图片", "好友_上传图片": the picture code.
using UploadPicture = Text(HOST_CALL*)(Text signature, int64_t robot, int64_t target, int32_t zero,
                                       HostAddress data, int32_t length, int32_t zero_too);
// "更新头像".
using UpdateAvatar = void(HOST_CALL*)(Text signature, int64_t robot, HostAddress data,
                                      int32_t length);
// "取框架QQ": the host's account list.
using AccountList = Text(HOST_CALL*)(Text signature);
// Every packed function: the record's hex text in, the answer's hex text out.
using Packed = Text(HOST_CALL*)(Text signature, Text record);

}  // namespace dulu_host

// Calls the supplier at supplier_address with the argument 0 and loads the
// table its answer stands for into *table, replacing what it held. False,
// leaving *table as it was, when the address is 0, table is null, or the
// answer is null or does not decode to a serialized map.
bool LoadApiTable(HostAddress supplier_address, TypedHashMap* table);

class DuluBinding {
 public:
  // The colour of the plugin's log lines (a Windows colour value, red).
  static constexpr int32_t kLogColour = 255;

  // Binds to the host's API table and the plugin's signature, replacing
  // what an earlier registration gave. Calls under way keep using what they
  // started with, so a second registration never pulls a table or a text
  // from under a worker.
  void Attach(std::shared_ptr<const TypedHashMap> api_table, std::string signature);
  // The API table bound now (an empty map before registration).
  std::shared_ptr<const TypedHashMap> api_table() const;

  // The address the table gives for the host function `name` (GBK); 0 when
  // the name is missing or its value is 0, negative, not an integer or too
  // large for an address. 32-bit values count as unsigned.
  HostAddress FindApi(const std::string& name) const;

  // "输出日志".
  void OutputLog(const std::string& line, int32_t colour = kLogColour) const;
  // "发送消息_群聊" and "发送消息_好友"; the host's answer is not read.
  void SendGroupMessage(int64_t robot, int64_t group, const std::string& message) const;
  void SendFriendMessage(int64_t robot, int64_t friend_account, const std::string& message) const;
  // "发送消息_临时": to a member through the group. True when the host
  // answers status 1; the two values it adds then go to the outputs given.
  bool SendTempMessage(int64_t robot, int64_t group, int64_t friend_account,
                       const std::string& message, int32_t* first_out = nullptr,
                       int32_t* second_out = nullptr) const;

  // "群聊_上传图片" / "好友_上传图片": the picture code.
  std::string UploadGroupPicture(int64_t robot, int64_t group, const std::string& data) const;
  std::string UploadFriendPicture(int64_t robot, int64_t friend_account,
                                  const std::string& data) const;
  // "群聊_上传语音" / "好友_上传语音": the voice code.
  std::string UploadGroupVoice(int64_t robot, int64_t group, const std::string& data) const;
  std::string UploadFriendVoice(int64_t robot, int64_t friend_account,
                                const std::string& data) const;
  // "群聊_上传视频" / "好友_上传视频": the video code.
  std::string UploadGroupVideo(int64_t robot, int64_t group, const std::string& data) const;
  std::string UploadFriendVideo(int64_t robot, int64_t friend_account,
                                const std::string& data) const;
  // "更新头像".
  void UpdateAvatar(int64_t robot, const std::string& data) const;

  // "自身_修改昵称": true on status 1.
  bool SetNickname(int64_t robot, const std::string& nickname) const;
  // "自身_发布个性签名"; the host's answer is not read.
  void PublishSignature(int64_t robot, const std::string& signature) const;
  // "群聊_置名称": true on status 1.
  bool SetGroupName(int64_t robot, int64_t group, const std::string& name) const;
  // "群聊_置成员名片"; the host's answer is not read.
  void SetGroupCard(int64_t robot, int64_t group, int64_t member, const std::string& card) const;
  // "好友_点赞名片": true on status 1.
  bool LikeProfile(int64_t robot, int64_t friend_account, int32_t times) const;
  // "群聊_处理验证请求": operation 11 accepts, 12 refuses; flag is the
  // record's last byte. True on status 1.
  bool HandleGroupRequest(int64_t robot, int32_t event_type, int32_t second_code, int64_t group,
                          int64_t requester, int64_t sequence, int32_t operation,
                          const std::string& reason = "", bool flag = false) const;
  // "好友_处理验证请求": accepts. True on status 1.
  bool HandleFriendRequest(int64_t robot, int64_t requester, int64_t sequence) const;
  // "群聊_置全体禁言": on mutes the whole group, off lifts it. True on status 1.
  bool MuteAll(int64_t robot, int64_t group, bool on) const;
  // "群聊_置禁言成员": 0 seconds lifts the mute. True on status 1.
  bool MuteMember(int64_t robot, int64_t group, int64_t member, int32_t seconds) const;
  // "群聊_撤回消息". True on status 1.
  bool RecallGroupMessage(int64_t robot, int64_t group, int32_t sequence, int32_t message_id) const;
  // "账号_删除". True on status 1.
  bool DeleteAccount(int64_t account) const;
  // "取框架QQ": the host's account list, as the host writes it.
  std::string GetFrameworkAccounts() const;

 private:
  // What registration hands over; replaced whole, read through a snapshot.
  struct Session {
    std::shared_ptr<const TypedHashMap> api_table = std::make_shared<const TypedHashMap>();
    std::string signature;
  };

  // The host function `name` typed as Fn; null when the table lacks it.
  template <typename Fn>
  static HostFunction<Fn> Function(const Session& session, const char* name);
  // Sends record to the packed function `name`: the bytes its answer stands
  // for, empty when the function is missing or the answer does not decode.
  std::string CallPacked(const char* name, const PacketWriter& record) const;

  std::shared_ptr<const Session> Current() const;
  // The address of `name` in session's table.
  static HostAddress FindIn(const Session& session, const std::string& name);

  std::shared_ptr<const Session> session_ = std::make_shared<const Session>();
};

}  // namespace lanfeng
