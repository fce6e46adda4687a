// One set of host operations over the three hosts' APIs.
//
// Every operation takes plain texts (QQ numbers in decimal) and routes the
// call to the binding of the host that registered the plugin, chosen anew
// on every call. Before registration, and for an operation a host does not
// offer, nothing is called: uploads then log and return their failure text,
// DeleteAccount answers false, the others do nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace lanfeng {

class DrBinding;
class XlzBinding;
class DuluBinding;

enum HostKind : int32_t { kNoHost = 0, kDrHost = 1, kXlzHost = 2, kDuluHost = 3 };

// Kinds of SendMessage.
enum MessageKind : int32_t { kGroupMessage = 1, kFriendMessage = 2, kTempMessage = 3 };
// UploadPicture and UploadVoice send to a group for kind 1, to a friend otherwise.
inline constexpr int32_t kTargetGroup = 1;

// The prefix of every line Log writes.
inline constexpr char kLogPrefix[] = "插件：岚风守望——";

// A decimal text as a number: leading digits with an optional sign; 0 when
// the text is not a number or the number does not fit.
int64_t TextToInt64(const std::string& text);
int32_t TextToInt32(const std::string& text);

class HostApi {
 public:
  HostApi(const std::atomic<int32_t>& host_kind, DrBinding& dr, XlzBinding& xlz, DuluBinding& dulu)
      : host_kind_(host_kind), dr_(dr), xlz_(xlz), dulu_(dulu) {}
  HostApi(const HostApi&) = delete;
  HostApi& operator=(const HostApi&) = delete;

  // Writes kLogPrefix + text to the host's log.
  void Log(const std::string& text);
  // The DR host's UID of an account; other hosts have none.
  std::string GetFriendUid(const std::string& robot, const std::string& friend_account);
  void SendMessage(const std::string& robot, const std::string& group,
                   const std::string& friend_account, const std::string& text, int32_t kind);
  std::string UploadPicture(const std::string& robot, const std::string& target,
                            const std::string& path, int32_t target_kind);
  std::string UploadVoice(const std::string& robot, const std::string& target,
                          const std::string& path, int32_t target_kind);
  std::string UploadVideo(const std::string& robot, const std::string& target,
                          const std::string& video_path, const std::string& cover_path,
                          int32_t target_kind);
  void SetAvatar(const std::string& robot, const std::string& path);
  void SetNickname(const std::string& robot, const std::string& nickname);
  void SetSignature(const std::string& robot, const std::string& signature);
  void SetGroupName(const std::string& robot, const std::string& group, const std::string& name);
  void SetGroupCard(const std::string& robot, const std::string& group, const std::string& member,
                    const std::string& card);
  void LikeProfile(const std::string& robot, const std::string& friend_account);
  // decision: 1 accept, 2 refuse; any other decision does nothing on the
  // XiaoLiZi and dulu hosts.
  void HandleGroupRequest(const std::string& robot, const std::string& group,
                          const std::string& requester, const std::string& sequence,
                          const std::string& event_type, const std::string& second_code,
                          int32_t decision);
  // Always accepts.
  void HandleFriendRequest(const std::string& robot, const std::string& requester,
                           const std::string& sequence);
  // An empty member mutes (minutes not 0) or frees the whole group.
  void MuteGroup(const std::string& robot, const std::string& group, const std::string& member,
                 int32_t minutes);
  void KickGroupMember(const std::string& robot, const std::string& group,
                       const std::string& member);
  void RecallGroupMessage(const std::string& robot, const std::string& group,
                          const std::string& sequence, const std::string& message_id);
  // Removes an account from the host; true when the host says it did.
  bool DeleteAccount(const std::string& account);

 private:
  int32_t kind() const { return host_kind_.load(std::memory_order_acquire); }
  // Logs and returns a failure text.
  std::string Failure(const std::string& text);

  const std::atomic<int32_t>& host_kind_;
  DrBinding& dr_;
  XlzBinding& xlz_;
  DuluBinding& dulu_;
};

}  // namespace lanfeng
