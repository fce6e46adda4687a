#include "host/xlz_binding.h"

#include <limits>
#include <vector>

#include "host/host_call.h"
#include "platform/platform.h"
#include "runtime/directories.h"
#include "runtime/gbk_text.h"

namespace lanfeng {
namespace {

// Signatures of the host functions; the key comes first in every one.
using Text = const char*;
using Address = intptr_t;
using FnLog = Text(HOST_CALL*)(Text, Text, int32_t, int32_t);
using FnSendFriend = Text(HOST_CALL*)(Text, int64_t, int64_t, Text, int64_t*, int32_t*);
using FnSendGroup = Text(HOST_CALL*)(Text, int64_t, int64_t, Text, int32_t);
using FnSendTemp = Text(HOST_CALL*)(Text, int64_t, int64_t, int64_t, Text, int64_t*, int32_t*);
using FnGroupId = int64_t(HOST_CALL*)(Text, int64_t);
using FnUploadPicture = Text(HOST_CALL*)(Text, int64_t, int64_t, int32_t, Address, int32_t);
using FnUploadVoice = Text(HOST_CALL*)(Text, int64_t, int64_t, int32_t, Text, Address, int32_t);
using FnUploadVideo = Text(HOST_CALL*)(Text, int64_t, int64_t, Text, Address, int32_t);
using FnUploadAvatar = Text(HOST_CALL*)(Text, int64_t, Address, int32_t);
using FnChangeText = int32_t(HOST_CALL*)(Text, int64_t, Text);
using FnChangeTwoTexts = int32_t(HOST_CALL*)(Text, int64_t, Text, Text);
using FnChangeGroupText = int32_t(HOST_CALL*)(Text, int64_t, int64_t, Text);
using FnGroupCard = Text(HOST_CALL*)(Text, int64_t, int64_t, int64_t, Text);
using FnLike = Text(HOST_CALL*)(Text, int64_t, int64_t);
using FnGroupVerification = void(HOST_CALL*)(Text, int64_t, int64_t, int64_t, int64_t, int32_t,
                                             int32_t, Text);
using FnFriendVerification = void(HOST_CALL*)(Text, int64_t, int64_t, int64_t, int32_t);
using FnMuteAll = int32_t(HOST_CALL*)(Text, int64_t, int64_t, int32_t);
using FnMemberInt = int32_t(HOST_CALL*)(Text, int64_t, int64_t, int64_t, int32_t);
using FnDeleteQq = Text(HOST_CALL*)(Text, int64_t, int32_t);
using FnFrameworkQq = Text(HOST_CALL*)(Text);

constexpr char kMissingToolsLine[] = "silk解码->corn文件夹缺少语音转码库，请自行到官网或交流群下载";
constexpr char kMissingAudioLine[] = "silk解码->音频文件不存在";
constexpr char kEncodedLine[] = "silk编码->编码完成";
constexpr char kToolsFolder[] = "\\main\\corn\\";
constexpr char kVoiceFolder[] = "\\main\\data\\voice\\";
constexpr uint32_t kLowestScratchNumber = 1000;
constexpr uint32_t kHighestScratchNumber = 999999;

// The host function `name` typed as Fn; false when the list lacks it.
template <typename Fn>
HostFunction<Fn> FindFunction(const XlzBinding& binding, const char* name) {
  return HostFunction<Fn>(binding.FindApi(name));
}

std::string Copy(Text text) { return text ? std::string(text) : std::string(); }

Address BufferAddress(const std::string& data) { return reinterpret_cast<Address>(data.data()); }

// The host takes a 32-bit length; a buffer past 2 GiB goes as its first 2 GiB.
int32_t BufferLength(const std::string& data) {
  constexpr size_t kMax = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(data.size() < kMax ? data.size() : kMax);
}

// The decimal digits of text from pos as an address, read where they stand;
// 0 when there are none or the number does not fit.
HostAddress ParseAddress(const std::string& text, size_t pos) {
  constexpr HostAddress kMax = std::numeric_limits<HostAddress>::max();
  HostAddress value = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c < '0' || c > '9') break;
    HostAddress digit = static_cast<HostAddress>(c - '0');
    if (value > (kMax - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

// True when the last character (not merely the last byte: a GBK trail byte
// can be 0x5D) is "]".
bool EndsWithClosingBracket(const std::string& text) {
  size_t last = std::string::npos;
  for (size_t pos = 0; pos < text.size(); pos += GbkCharLength(text, pos)) last = pos;
  return last != std::string::npos && text[last] == ']';
}

// Puts fields inside the closing bracket of a host's code; a code without
// one stays as it is.
std::string CompleteCode(std::string code, const std::string& fields) {
  if (!EndsWithClosingBracket(code)) return code;
  code.pop_back();
  return code + fields + "]";
}

std::string PictureFields(int32_t width, int32_t height, bool cartoon, const std::string& preview) {
  return ",wide=" + std::to_string(width) + ",high=" + std::to_string(height) +
         ",cartoon=" + (cartoon ? "true" : "false") + ",str=" + preview;
}

std::string UploadPicture(const XlzBinding& binding, const char* name, const std::string& key,
                          int64_t robot, int64_t target, bool flag, const std::string& data) {
  auto fn = FindFunction<FnUploadPicture>(binding, name);
  return fn ? Copy(fn(key.c_str(), robot, target, flag, BufferAddress(data), BufferLength(data)))
            : std::string();
}

std::string UploadVoice(const XlzBinding& binding, const char* name, const std::string& key,
                        int64_t robot, int64_t target, int32_t voice_type,
                        const std::string& voice_text, const std::string& data) {
  auto fn = FindFunction<FnUploadVoice>(binding, name);
  return fn ? Copy(fn(key.c_str(), robot, target, voice_type, voice_text.c_str(),
                      BufferAddress(data), BufferLength(data)))
            : std::string();
}

// The part of path after its last "\" or "/", found character by character
// since a GBK trail byte can be 0x5C.
std::string FileNameOf(const std::string& path) {
  size_t start = 0;
  for (size_t pos = 0; pos < path.size(); pos += GbkCharLength(path, pos)) {
    if (path[pos] == '\\' || path[pos] == '/') start = pos + 1;
  }
  return path.substr(start);
}

// name cut before its last "."; a name without one stays whole.
std::string WithoutExtension(const std::string& name) {
  size_t dot = std::string::npos;
  for (size_t pos = 0; pos < name.size(); pos += GbkCharLength(name, pos)) {
    if (name[pos] == '.') dot = pos;
  }
  return name.substr(0, dot);
}

// The scratch path, without extension, for converting audio_path: a random
// number keeps two conversions of files with the same name apart.
std::string ScratchBase(const std::string& voice_folder, const std::string& audio_path) {
  constexpr uint32_t kSpan = kHighestScratchNumber - kLowestScratchNumber + 1;
  uint32_t number = kLowestScratchNumber + CurrentPlatform().Random() % kSpan;
  return voice_folder + WithoutExtension(std::to_string(number) + FileNameOf(audio_path));
}

// Decodes the audio to raw 24 kHz mono PCM, then encodes that as silk. Each
// path is one argument of its own, so no blank or quote in it matters.
void RunSilkTools(const std::string& ffmpeg, const std::string& encoder,
                  const std::string& audio_path, const std::string& base) {
  Platform& platform = CurrentPlatform();
  platform.RunProcess({ffmpeg, "-i", audio_path, "-f", "s16le", "-ar", "24000", "-ac", "1",
                       "-acodec", "pcm_s16le", base + ".pcm"},
                      true, nullptr);
  platform.RunProcess({encoder, "pts", "-i", base + ".pcm", "-o", base + ".silk", "-s", "24000"},
                      true, nullptr);
}

}  // namespace

std::shared_ptr<const XlzBinding::HostTexts> XlzBinding::Texts() const {
  return std::atomic_load(&texts_);
}

void XlzBinding::AttachHost(const std::string& key, const std::string& api_list) {
  std::atomic_store(&texts_, std::make_shared<const HostTexts>(HostTexts{key, api_list}));
}

// The marker starts with a quote, which no GBK trail byte equals, so a byte
// search finds it only where a character starts.
HostAddress XlzBinding::FindApi(const std::string& name) const {
  const std::shared_ptr<const HostTexts> texts = Texts();
  const std::string& api_list = texts->api_list;
  const std::string marker = "\"" + name + "\":";
  size_t found = api_list.find(marker);
  if (found == std::string::npos) return 0;
  // The value runs to the next "," or, when that leaves it empty, to the
  // next "}"; with neither it is empty. Only its leading digits count, and
  // they end before either, so they are read in place: a host's list may put
  // its end many megabytes away.
  const size_t value_start = found + marker.size();
  if (FindGbkChar(api_list, ',', value_start) == std::string::npos &&
      FindGbkChar(api_list, '}', value_start) == std::string::npos) {
    return 0;
  }
  return ParseAddress(api_list, value_start);
}

void XlzBinding::OutputLog(const std::string& line, int32_t text_colour,
                           int32_t background_colour) {
  if (auto fn = FindFunction<FnLog>(*this, "输出日志")) {
    fn(Key().c_str(), line.c_str(), text_colour, background_colour);
  }
}

void XlzBinding::SendFriendMessage(int64_t robot, int64_t friend_account,
                                   const std::string& message, int64_t* out_64, int32_t* out_32) {
  int64_t fresh_64 = 0;
  int32_t fresh_32 = 0;
  if (auto fn = FindFunction<FnSendFriend>(*this, "发送好友消息")) {
    fn(Key().c_str(), robot, friend_account, message.c_str(), out_64 ? out_64 : &fresh_64,
       out_32 ? out_32 : &fresh_32);
  }
}

void XlzBinding::SendGroupMessage(int64_t robot, int64_t group, const std::string& message,
                                  bool flag) {
  if (auto fn = FindFunction<FnSendGroup>(*this, "发送群消息")) {
    fn(Key().c_str(), robot, group, message.c_str(), flag);
  }
}

void XlzBinding::SendGroupTempMessage(int64_t robot, int64_t group_id, int64_t friend_account,
                                      const std::string& message, int64_t* out_64,
                                      int32_t* out_32) {
  int64_t fresh_64 = 0;
  int32_t fresh_32 = 0;
  if (auto fn = FindFunction<FnSendTemp>(*this, "发送群临时消息")) {
    fn(Key().c_str(), robot, group_id, friend_account, message.c_str(), out_64 ? out_64 : &fresh_64,
       out_32 ? out_32 : &fresh_32);
  }
}

int64_t XlzBinding::GetGroupIdFromCache(int64_t group) {
  auto fn = FindFunction<FnGroupId>(*this, "取群Id_从缓存");
  return fn ? fn(Key().c_str(), group) : 0;
}

std::string XlzBinding::UploadFriendPicture(int64_t robot, int64_t friend_account, bool flag,
                                            const std::string& data, int32_t width, int32_t height,
                                            bool cartoon, const std::string& preview) {
  return CompleteCode(UploadPicture(*this, "上传好友图片", Key(), robot, friend_account, flag, data),
                      PictureFields(width, height, cartoon, preview));
}

std::string XlzBinding::UploadGroupPicture(int64_t robot, int64_t group, bool flag,
                                           const std::string& data, int32_t width, int32_t height,
                                           bool cartoon, const std::string& preview) {
  return CompleteCode(UploadPicture(*this, "上传群图片", Key(), robot, group, flag, data),
                      PictureFields(width, height, cartoon, preview));
}

std::string XlzBinding::UploadFriendVoice(int64_t robot, int64_t friend_account, int32_t voice_type,
                                          const std::string& voice_text, const std::string& data,
                                          int32_t duration) {
  return CompleteCode(
      UploadVoice(*this, "上传好友语音", Key(), robot, friend_account, voice_type, voice_text, data),
      ",time=" + std::to_string(duration));
}

std::string XlzBinding::UploadGroupVoice(int64_t robot, int64_t group, int32_t voice_type,
                                         const std::string& voice_text, const std::string& data,
                                         int32_t duration) {
  return CompleteCode(
      UploadVoice(*this, "上传群语音", Key(), robot, group, voice_type, voice_text, data),
      ",time=" + std::to_string(duration));
}

std::string XlzBinding::UploadShortVideo(int64_t robot, int64_t group,
                                         const std::string& video_path, const std::string& cover,
                                         int32_t width, int32_t height, int32_t duration) {
  auto fn = FindFunction<FnUploadVideo>(*this, "上传小视频");
  if (!fn) return std::string();
  std::string code = Copy(fn(Key().c_str(), robot, group, video_path.c_str(), BufferAddress(cover),
                             BufferLength(cover)));
  return CompleteCode(code, ",wide=" + std::to_string(width) + ",high=" + std::to_string(height) +
                                ",time=" + std::to_string(duration));
}

void XlzBinding::UploadAvatar(int64_t robot, const std::string& data) {
  if (auto fn = FindFunction<FnUploadAvatar>(*this, "上传头像")) {
    fn(Key().c_str(), robot, BufferAddress(data), BufferLength(data));
  }
}

void XlzBinding::ChangeNickname(int64_t robot, const std::string& nickname) {
  if (auto fn = FindFunction<FnChangeText>(*this, "修改昵称")) {
    fn(Key().c_str(), robot, nickname.c_str());
  }
}

void XlzBinding::ChangeSignature(int64_t robot, const std::string& signature,
                                 const std::string& second_text) {
  if (auto fn = FindFunction<FnChangeTwoTexts>(*this, "修改个性签名")) {
    fn(Key().c_str(), robot, signature.c_str(), second_text.c_str());
  }
}

void XlzBinding::ChangeGroupName(int64_t robot, int64_t group, const std::string& name) {
  if (auto fn = FindFunction<FnChangeGroupText>(*this, "修改群名称")) {
    fn(Key().c_str(), robot, group, name.c_str());
  }
}

void XlzBinding::SetGroupCard(int64_t robot, int64_t group, int64_t member,
                              const std::string& card) {
  if (auto fn = FindFunction<FnGroupCard>(*this, "设置群名片")) {
    fn(Key().c_str(), robot, group, member, card.c_str());
  }
}

void XlzBinding::LikeQq(int64_t robot, int64_t friend_account) {
  if (auto fn = FindFunction<FnLike>(*this, "QQ点赞")) fn(Key().c_str(), robot, friend_account);
}

void XlzBinding::HandleGroupVerification(int64_t robot, int64_t group, int64_t requester,
                                         int64_t sequence, int32_t operation, int32_t event_type,
                                         const std::string& reason) {
  if (auto fn = FindFunction<FnGroupVerification>(*this, "处理群验证事件")) {
    fn(Key().c_str(), robot, group, requester, sequence, operation, event_type, reason.c_str());
  }
}

void XlzBinding::HandleFriendVerification(int64_t robot, int64_t requester, int64_t sequence,
                                          int32_t operation) {
  if (auto fn = FindFunction<FnFriendVerification>(*this, "处理好友验证事件")) {
    fn(Key().c_str(), robot, requester, sequence, operation);
  }
}

void XlzBinding::MuteAllMembers(int64_t robot, int64_t group, bool on) {
  if (auto fn = FindFunction<FnMuteAll>(*this, "全员禁言")) fn(Key().c_str(), robot, group, on);
}

void XlzBinding::MuteGroupMember(int64_t robot, int64_t group, int64_t member, int32_t seconds) {
  if (auto fn = FindFunction<FnMemberInt>(*this, "禁言群成员")) {
    fn(Key().c_str(), robot, group, member, seconds);
  }
}

void XlzBinding::RemoveGroupMember(int64_t robot, int64_t group, int64_t member, bool flag) {
  if (auto fn = FindFunction<FnMemberInt>(*this, "删除群成员")) {
    fn(Key().c_str(), robot, group, member, flag);
  }
}

void XlzBinding::RecallGroupMessage(int64_t robot, int64_t group, int64_t sequence,
                                    int32_t message_id) {
  if (auto fn = FindFunction<FnMemberInt>(*this, "撤回消息_群聊")) {
    fn(Key().c_str(), robot, group, sequence, message_id);
  }
}

std::string XlzBinding::DeleteQqFromList(int64_t account, bool flag) {
  auto fn = FindFunction<FnDeleteQq>(*this, "QQ列表_删除QQ");
  return fn ? Copy(fn(Key().c_str(), account, flag)) : std::string();
}

std::string XlzBinding::GetFrameworkQq() {
  auto fn = FindFunction<FnFrameworkQq>(*this, "取框架QQ");
  return fn ? Copy(fn(Key().c_str())) : std::string();
}

// Runs the very tools whose presence it checked, by absolute path, so the
// host's working directory does not matter. The tools' own failures show only
// as a missing silk file.
std::string XlzBinding::ConvertToSilk(const std::string& audio_path) {
  Platform& platform = CurrentPlatform();
  const std::string dir = platform.ProgramDirectory();
  const std::string ffmpeg = dir + kToolsFolder + "ffmpeg.exe";
  const std::string encoder = dir + kToolsFolder + "silkencoder.exe";
  if (!platform.FileExists(ffmpeg) || !platform.FileExists(encoder)) {
    OutputLog(kMissingToolsLine);
    return std::string();
  }
  if (!platform.FileExists(audio_path)) {
    OutputLog(kMissingAudioLine);
    return std::string();
  }
  const std::string voice_folder = dir + kVoiceFolder;
  EnsureDirectory(voice_folder);
  const std::string base = ScratchBase(voice_folder, audio_path);
  RunSilkTools(ffmpeg, encoder, audio_path, base);
  std::string silk;
  if (!platform.ReadFile(base + ".silk", &silk).ok()) silk.clear();
  platform.RemoveFile(base + ".pcm");
  platform.RemoveFile(base + ".silk");
  OutputLog(kEncodedLine);
  return silk;
}

}  // namespace lanfeng
