// The XiaoLiZi host's API.
//
// The XiaoLiZi host exports no named functions. At registration it hands us
// a key that identifies the plugin and a text listing its API functions by
// Chinese name with their addresses, pairs written "name":address. Each call
// finds the address of its function in that list anew and calls it there,
// the key always first. A function the list lacks is skipped: a text answer
// is then empty, a number 0.
//
// Values crossing to the host: texts as NUL-terminated GBK strings; QQ
// accounts, groups, group ids and message sequences as 64-bit integers;
// other integers and booleans as 32-bit integers; a byte buffer as its
// address (pointer-sized) and its length; an output argument as the address
// of a variable the host may fill. A text answer belongs to the host and is
// copied at once.
//
// The key and the list are stored once at registration, before any worker
// thread starts, and only read afterwards; the calls take no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/host_call.h"

namespace lanfeng {

class XlzBinding {
 public:
  // The colours "输出日志" uses when none are given (Windows colour values).
  static constexpr int32_t kDefaultTextColour = 32768;
  static constexpr int32_t kDefaultBackgroundColour = 16777215;

  // Stores copies of the key and the API list, replacing earlier ones.
  void AttachHost(const std::string& key, const std::string& api_list);

  // The address listed for the function `name` (case-sensitive, GBK): the
  // leading decimal digits after `"name":`, read up to the next "," or, when
  // that gives nothing, up to the next "}". 0 when the name is missing, the
  // text is not a number or the number does not fit an address.
  HostAddress FindApi(const std::string& name) const;

  // "输出日志": writes one line to the host's log.
  void OutputLog(const std::string& line, int32_t text_colour = kDefaultTextColour,
                 int32_t background_colour = kDefaultBackgroundColour);
  // "发送好友消息". The host may fill the two output variables; fresh zero
  // variables stand in for those not given.
  void SendFriendMessage(int64_t robot, int64_t friend_account, const std::string& message,
                         int64_t* out_64 = nullptr, int32_t* out_32 = nullptr);
  // "发送群消息".
  void SendGroupMessage(int64_t robot, int64_t group, const std::string& message,
                        bool flag = false);
  // "发送群临时消息": to a member through the group's id (GetGroupIdFromCache).
  void SendGroupTempMessage(int64_t robot, int64_t group_id, int64_t friend_account,
                            const std::string& message, int64_t* out_64 = nullptr,
                            int32_t* out_32 = nullptr);
  // "取群Id_从缓存".
  int64_t GetGroupIdFromCache(int64_t group);

  // "上传好友图片" / "上传群图片": the picture code, completed with the size,
  // the cartoon flag and the preview text.
  std::string UploadFriendPicture(int64_t robot, int64_t friend_account, bool flag,
                                  const std::string& data, int32_t width = 0, int32_t height = 0,
                                  bool cartoon = false, const std::string& preview = "");
  std::string UploadGroupPicture(int64_t robot, int64_t group, bool flag, const std::string& data,
                                 int32_t width = 0, int32_t height = 0, bool cartoon = false,
                                 const std::string& preview = "");
  // "上传好友语音" / "上传群语音": the voice code, completed with the duration.
  std::string UploadFriendVoice(int64_t robot, int64_t friend_account, int32_t voice_type,
                                const std::string& voice_text, const std::string& data,
                                int32_t duration = 0);
  std::string UploadGroupVoice(int64_t robot, int64_t group, int32_t voice_type,
                               const std::string& voice_text, const std::string& data,
                               int32_t duration = 0);
  // "上传小视频": the video code, completed with the size and the duration.
  std::string UploadShortVideo(int64_t robot, int64_t group, const std::string& video_path,
                               const std::string& cover, int32_t width = 0, int32_t height = 0,
                               int32_t duration = 0);

  // "上传头像".
  void UploadAvatar(int64_t robot, const std::string& data);
  // "修改昵称".
  void ChangeNickname(int64_t robot, const std::string& nickname);
  // "修改个性签名".
  void ChangeSignature(int64_t robot, const std::string& signature,
                       const std::string& second_text = "");
  // "修改群名称".
  void ChangeGroupName(int64_t robot, int64_t group, const std::string& name);
  // "设置群名片".
  void SetGroupCard(int64_t robot, int64_t group, int64_t member, const std::string& card);
  // "QQ点赞".
  void LikeQq(int64_t robot, int64_t friend_account);
  // "处理群验证事件": operation 11 accepts, 12 refuses.
  void HandleGroupVerification(int64_t robot, int64_t group, int64_t requester, int64_t sequence,
                               int32_t operation, int32_t event_type,
                               const std::string& reason = "");
  // "处理好友验证事件": operation 1 accepts.
  void HandleFriendVerification(int64_t robot, int64_t requester, int64_t sequence,
                                int32_t operation);
  // "全员禁言": on mutes the whole group, off lifts it.
  void MuteAllMembers(int64_t robot, int64_t group, bool on);
  // "禁言群成员": 0 seconds lifts the mute.
  void MuteGroupMember(int64_t robot, int64_t group, int64_t member, int32_t seconds);
  // "删除群成员".
  void RemoveGroupMember(int64_t robot, int64_t group, int64_t member, bool flag = false);
  // "撤回消息_群聊".
  void RecallGroupMessage(int64_t robot, int64_t group, int64_t sequence, int32_t message_id);
  // "QQ列表_删除QQ": the host's answer, "0" on success.
  std::string DeleteQqFromList(int64_t account, bool flag);
  // "取框架QQ": the host's account list, as the host writes it.
  std::string GetFrameworkQq();

  // Converts an audio file to a silk voice with the host's ffmpeg and
  // silkencoder (under "main\corn\" in the program directory), through
  // scratch files under "main\data\voice\". Empty when a tool or the audio
  // file is missing, or when the tools made no silk file. Reports to the
  // host log.
  std::string ConvertToSilk(const std::string& audio_path);

 private:
  // What registration hands over: replaced whole by AttachHost, read through
  // a snapshot, so a second registration never pulls a text from under a
  // worker's call.
  struct HostTexts {
    std::string key;
    std::string api_list;
  };
  std::shared_ptr<const HostTexts> Texts() const;
  std::string Key() const { return Texts()->key; }

  std::shared_ptr<const HostTexts> texts_ = std::make_shared<const HostTexts>();
};

}  // namespace lanfeng
