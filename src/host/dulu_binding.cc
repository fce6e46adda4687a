#include "host/dulu_binding.h"

#include <limits>
#include <optional>

#include "host/packet_codec.h"

namespace lanfeng {
namespace {

using dulu_host::Text;

// The host functions' names in the API table.
constexpr char kOutputLog[] = "输出日志";
constexpr char kSendGroupMessage[] = "发送消息_群聊";
constexpr char kSendFriendMessage[] = "发送消息_好友";
constexpr char kSendTempMessage[] = "发送消息_临时";
constexpr char kUploadGroupPicture[] = "群聊_上传图片";
constexpr char kUploadFriendPicture[] = "好友_上传图片";
constexpr char kUploadGroupVoice[] = "群聊_上传语音";
constexpr char kUploadFriendVoice[] = "好友_上传语音";
constexpr char kUploadGroupVideo[] = "群聊_上传视频";
constexpr char kUploadFriendVideo[] = "好友_上传视频";
constexpr char kUpdateAvatar[] = "更新头像";
constexpr char kSetNickname[] = "自身_修改昵称";
constexpr char kPublishSignature[] = "自身_发布个性签名";
constexpr char kSetGroupName[] = "群聊_置名称";
constexpr char kSetGroupCard[] = "群聊_置成员名片";
constexpr char kLikeProfile[] = "好友_点赞名片";
constexpr char kHandleGroupRequest[] = "群聊_处理验证请求";
constexpr char kHandleFriendRequest[] = "好友_处理验证请求";
constexpr char kMuteAll[] = "群聊_置全体禁言";
constexpr char kMuteMember[] = "群聊_置禁言成员";
constexpr char kRecallGroupMessage[] = "群聊_撤回消息";
constexpr char kDeleteAccount[] = "账号_删除";
constexpr char kGetFrameworkAccounts[] = "取框架QQ";

// Fixed fields of the records.
constexpr int32_t kGroupVoiceReserved = 0;
constexpr int32_t kVoiceFlags[] = {1, 1, 0};
constexpr int32_t kSignatureTrailer = 1;
constexpr int32_t kGroupRequestReserved = 0;

std::string Copy(Text text) { return text ? std::string(text) : std::string(); }

// A text as a record carries it: its bytes before the first NUL.
std::string TextBytes(const std::string& text) { return text.substr(0, text.find('\0')); }

HostAddress BufferAddress(const std::string& data) {
  return reinterpret_cast<HostAddress>(data.data());
}

// The host takes 32-bit lengths; a buffer past 2 GiB goes as its first 2 GiB.
int32_t BufferLength(const std::string& data) {
  constexpr size_t kMax = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(data.size() < kMax ? data.size() : kMax);
}

// Writes a buffer as a record's two 32-bit fields: the low 32 bits of its
// address (the whole address under the 32-bit host), then its length.
void WriteBuffer(PacketWriter* record, const std::string& data) {
  record->WriteInt32(static_cast<int32_t>(static_cast<uint32_t>(BufferAddress(data))));
  record->WriteInt32(BufferLength(data));
}

// A writer holding an empty record.
PacketWriter NewRecord() {
  PacketWriter record;
  record.Reset();
  return record;
}

// The address an integer of the table stands for; 0 when it cannot be one.
HostAddress AddressFromInteger(int64_t value) {
  if (value < 0) return 0;
  if constexpr (sizeof(HostAddress) < sizeof(int64_t)) {
    if (static_cast<uint64_t>(value) > std::numeric_limits<HostAddress>::max()) return 0;
  }
  return static_cast<HostAddress>(value);
}

// Answer "status": true exactly when the first byte is 1.
bool ReadStatus(const std::string& answer) {
  PacketReader reader;
  return reader.Load(answer) && reader.ReadByte() == 1;
}

// Answer "status, then the code": empty on status 0, otherwise the rest of
// the record up to its first NUL.
std::string ReadCode(const std::string& answer) {
  PacketReader reader;
  if (!reader.Load(answer) || reader.ReadByte() == 0) return std::string();
  return TextBytes(reader.Rest());
}

// Calls a picture upload function; its answer is the code.
std::string CallUploadPicture(HostFunction<dulu_host::UploadPicture> fn, const std::string& signature,
                              int64_t robot, int64_t target, const std::string& data) {
  if (!fn) return std::string();
  return Copy(fn(signature.c_str(), robot, target, 0, BufferAddress(data), BufferLength(data), 0));
}

// The record of a voice upload: the group form has one more reserved field.
PacketWriter VoiceRecord(int64_t robot, int64_t target, const std::string& data, bool group) {
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt64(target);
  WriteBuffer(&record, data);
  if (group) record.WriteInt32(kGroupVoiceReserved);
  for (int32_t flag : kVoiceFlags) record.WriteByte(flag);
  return record;
}

// The record of a video upload.
PacketWriter VideoRecord(int64_t robot, int64_t target, const std::string& data) {
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt64(target);
  WriteBuffer(&record, data);
  return record;
}

}  // namespace

bool LoadApiTable(HostAddress supplier_address, TypedHashMap* table) {
  if (supplier_address == 0 || table == nullptr) return false;
  HostFunction<dulu_host::Supplier> supplier(supplier_address);
  return table->Load(HexDecode(Copy(supplier(0))));
}

void DuluBinding::Attach(std::shared_ptr<const TypedHashMap> api_table, std::string signature) {
  auto session = std::make_shared<Session>();
  if (api_table) session->api_table = std::move(api_table);
  session->signature = std::move(signature);
  std::atomic_store(&session_, std::shared_ptr<const Session>(std::move(session)));
}

std::shared_ptr<const TypedHashMap> DuluBinding::api_table() const { return Current()->api_table; }

std::shared_ptr<const DuluBinding::Session> DuluBinding::Current() const {
  return std::atomic_load(&session_);
}

HostAddress DuluBinding::FindApi(const std::string& name) const { return FindIn(*Current(), name); }

HostAddress DuluBinding::FindIn(const Session& session, const std::string& name) {
  const TypedHashMap& table = *session.api_table;
  const int32_t type = table.value_type();
  if (type != kMapInt32 && type != kMapInt64) return 0;
  std::optional<int64_t> value = table.GetInteger(name);
  if (!value) return 0;
  // The 32-bit host writes addresses as signed 32-bit values.
  if (type == kMapInt32) return static_cast<uint32_t>(*value);
  return AddressFromInteger(*value);
}

template <typename Fn>
HostFunction<Fn> DuluBinding::Function(const Session& session, const char* name) {
  return HostFunction<Fn>(FindIn(session, name));
}

std::string DuluBinding::CallPacked(const char* name, const PacketWriter& record) const {
  std::shared_ptr<const Session> session = Current();
  auto fn = Function<dulu_host::Packed>(*session, name);
  if (!fn) return std::string();
  std::string hex = HexEncode(record.GetBytes());
  return HexDecode(Copy(fn(session->signature.c_str(), hex.c_str())));
}

void DuluBinding::OutputLog(const std::string& line, int32_t colour) const {
  std::shared_ptr<const Session> session = Current();
  if (auto fn = Function<dulu_host::Log>(*session, kOutputLog)) fn(session->signature.c_str(), line.c_str(), colour);
}

void DuluBinding::SendGroupMessage(int64_t robot, int64_t group, const std::string& message) const {
  std::shared_ptr<const Session> session = Current();
  if (auto fn = Function<dulu_host::SendMessage>(*session, kSendGroupMessage)) {
    fn(session->signature.c_str(), robot, group, message.c_str());
  }
}

void DuluBinding::SendFriendMessage(int64_t robot, int64_t friend_account,
                                    const std::string& message) const {
  std::shared_ptr<const Session> session = Current();
  if (auto fn = Function<dulu_host::SendMessage>(*session, kSendFriendMessage)) {
    fn(session->signature.c_str(), robot, friend_account, message.c_str());
  }
}

bool DuluBinding::SendTempMessage(int64_t robot, int64_t group, int64_t friend_account,
                                  const std::string& message, int32_t* first_out,
                                  int32_t* second_out) const {
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt64(group);
  record.WriteInt64(friend_account);
  record.WriteBytes(TextBytes(message));
  PacketReader answer;
  if (!answer.Load(CallPacked(kSendTempMessage, record)) || answer.ReadByte() != 1) return false;
  const int32_t first = answer.ReadInt32();
  const int32_t second = answer.ReadInt32();
  if (first_out != nullptr) *first_out = first;
  if (second_out != nullptr) *second_out = second;
  return true;
}

std::string DuluBinding::UploadGroupPicture(int64_t robot, int64_t group,
                                            const std::string& data) const {
  std::shared_ptr<const Session> session = Current();
  return CallUploadPicture(Function<dulu_host::UploadPicture>(*session, kUploadGroupPicture), session->signature,
                           robot, group, data);
}

std::string DuluBinding::UploadFriendPicture(int64_t robot, int64_t friend_account,
                                             const std::string& data) const {
  std::shared_ptr<const Session> session = Current();
  return CallUploadPicture(Function<dulu_host::UploadPicture>(*session, kUploadFriendPicture), session->signature,
                           robot, friend_account, data);
}

std::string DuluBinding::UploadGroupVoice(int64_t robot, int64_t group,
                                          const std::string& data) const {
  return ReadCode(CallPacked(kUploadGroupVoice, VoiceRecord(robot, group, data, true)));
}

std::string DuluBinding::UploadFriendVoice(int64_t robot, int64_t friend_account,
                                           const std::string& data) const {
  return ReadCode(CallPacked(kUploadFriendVoice, VoiceRecord(robot, friend_account, data, false)));
}

std::string DuluBinding::UploadGroupVideo(int64_t robot, int64_t group,
                                          const std::string& data) const {
  return ReadCode(CallPacked(kUploadGroupVideo, VideoRecord(robot, group, data)));
}

std::string DuluBinding::UploadFriendVideo(int64_t robot, int64_t friend_account,
                                           const std::string& data) const {
  return ReadCode(CallPacked(kUploadFriendVideo, VideoRecord(robot, friend_account, data)));
}

void DuluBinding::UpdateAvatar(int64_t robot, const std::string& data) const {
  std::shared_ptr<const Session> session = Current();
  if (auto fn = Function<dulu_host::UpdateAvatar>(*session, kUpdateAvatar)) {
    fn(session->signature.c_str(), robot, BufferAddress(data), BufferLength(data));
  }
}

bool DuluBinding::SetNickname(int64_t robot, const std::string& nickname) const {
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteBytes(TextBytes(nickname));
  return ReadStatus(CallPacked(kSetNickname, record));
}

void DuluBinding::PublishSignature(int64_t robot, const std::string& signature) const {
  const std::string text = TextBytes(signature);
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt32(BufferLength(text));
  record.WriteBytes(text);
  record.WriteInt32(kSignatureTrailer);
  CallPacked(kPublishSignature, record);
}

bool DuluBinding::SetGroupName(int64_t robot, int64_t group, const std::string& name) const {
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt64(group);
  record.WriteBytes(TextBytes(name));
  return ReadStatus(CallPacked(kSetGroupName, record));
}

void DuluBinding::SetGroupCard(int64_t robot, int64_t group, int64_t member,
                               const std::string& card) const {
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt64(group);
  record.WriteInt64(member);
  record.WriteBytes(TextBytes(card));
  CallPacked(kSetGroupCard, record);
}

bool DuluBinding::LikeProfile(int64_t robot, int64_t friend_account, int32_t times) const {
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt64(friend_account);
  record.WriteInt32(times);
  return ReadStatus(CallPacked(kLikeProfile, record));
}

bool DuluBinding::HandleGroupRequest(int64_t robot, int32_t event_type, int32_t second_code,
                                     int64_t group, int64_t requester, int64_t sequence,
                                     int32_t operation, const std::string& reason,
                                     bool flag) const {
  const std::string text = TextBytes(reason);
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt32(event_type);
  record.WriteInt32(second_code);
  record.WriteInt64(group);
  record.WriteInt64(requester);
  record.WriteInt64(sequence);
  record.WriteInt32(operation);
  record.WriteInt32(kGroupRequestReserved);
  record.WriteInt32(BufferLength(text));
  record.WriteBytes(text);
  record.WriteByte(flag ? 1 : 0);
  return ReadStatus(CallPacked(kHandleGroupRequest, record));
}

bool DuluBinding::HandleFriendRequest(int64_t robot, int64_t requester, int64_t sequence) const {
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt64(requester);
  record.WriteInt64(sequence);
  return ReadStatus(CallPacked(kHandleFriendRequest, record));
}

bool DuluBinding::MuteAll(int64_t robot, int64_t group, bool on) const {
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt64(group);
  record.WriteByte(on ? 1 : 0);
  return ReadStatus(CallPacked(kMuteAll, record));
}

bool DuluBinding::MuteMember(int64_t robot, int64_t group, int64_t member, int32_t seconds) const {
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt64(group);
  record.WriteInt64(member);
  record.WriteInt32(seconds);
  return ReadStatus(CallPacked(kMuteMember, record));
}

bool DuluBinding::RecallGroupMessage(int64_t robot, int64_t group, int32_t sequence,
                                     int32_t message_id) const {
  PacketWriter record = NewRecord();
  record.WriteInt64(robot);
  record.WriteInt64(group);
  record.WriteInt32(sequence);
  record.WriteInt32(message_id);
  return ReadStatus(CallPacked(kRecallGroupMessage, record));
}

bool DuluBinding::DeleteAccount(int64_t account) const {
  PacketWriter record = NewRecord();
  record.WriteInt64(account);
  return ReadStatus(CallPacked(kDeleteAccount, record));
}

std::string DuluBinding::GetFrameworkAccounts() const {
  std::shared_ptr<const Session> session = Current();
  auto fn = Function<dulu_host::AccountList>(*session, kGetFrameworkAccounts);
  return fn ? Copy(fn(session->signature.c_str())) : std::string();
}

}  // namespace lanfeng
