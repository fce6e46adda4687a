// The DR host's API: the Api_ functions of its library "Bot.dll".
//
// Each function is looked up by name the first time it is called and the
// address is kept for later calls, so a plugin loaded by another host never
// touches Bot.dll; registration with the DR host looks them all up at once
// (ResolveAll). When the library or a function is missing, the call is
// skipped: a text answer is then empty and an integer answer 0.
//
// Texts cross as NUL-terminated GBK strings; a text answer is copied at once
// into our own text, a null answer becoming empty text.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace lanfeng {

// The optional fields of a profile change, in the order they are written.
struct DrProfile {
  std::optional<std::string> nickname;   // "昵称"
  std::optional<int32_t> gender;         // "性别", 1..2
  std::optional<std::string> birthday;   // "生日"
  std::optional<int32_t> occupation;     // "职业", 1..14
  std::optional<std::string> company;    // "公司"
  std::optional<std::string> location;   // "所在地"
  std::optional<std::string> hometown;   // "家乡"
  std::optional<std::string> email;      // "邮箱"
  std::optional<std::string> signature;  // "个人说明"
};

// The JSON text Api_SetRInfEx takes: {"info":{...}} with the supplied fields
// as quoted texts, inserted as they are.
std::string DrProfileText(const DrProfile& profile);

class DrBinding {
 public:
  // Finds a function address by name; null when it is missing.
  using Resolver = std::function<void*(const char* name)>;

  // Binds to the Bot.dll the host process has loaded.
  DrBinding();
  // Binds through resolver instead (tests).
  explicit DrBinding(Resolver resolver);
  DrBinding(const DrBinding&) = delete;
  DrBinding& operator=(const DrBinding&) = delete;

  void OutPutLog(const std::string& line);
  // type 1 sends to a friend (target is its UID), type 2 to a group.
  void SendMsg(const std::string& robot, int32_t type, const std::string& target,
               const std::string& message);
  void SendTempGroupMsg(const std::string& robot, const std::string& group,
                        const std::string& member_uid, const std::string& message);
  std::string GetQQtoUid(const std::string& account);
  std::string GetQQtoUidEx(const std::string& robot, const std::string& account);
  // type 2 uploads for a group, type 1 for a friend; the other target empty.
  std::string UpLoadPic(const std::string& robot, int32_t type, const std::string& group,
                        const std::string& friend_account, const std::string& data);
  void UpLoad(const std::string& robot, const std::string& picture_path);
  void SetRInfEx(const std::string& robot, const DrProfile& profile);
  void SetGroupName(const std::string& robot, const std::string& group, const std::string& name);
  void SetGroupCard(const std::string& robot, const std::string& group, const std::string& member_uid,
                    const std::string& card);
  void UpVote(const std::string& robot, const std::string& friend_uid);
  // decision: 1 accept, 2 refuse.
  void HandleGroupEvent(const std::string& robot, const std::string& group,
                        const std::string& sequence, int32_t decision);
  void HandleFriendEvent(const std::string& robot, const std::string& requester_uid);
  // member_uid empty mutes the whole group.
  void ShutUP(const std::string& robot, const std::string& group, const std::string& member_uid,
              int32_t duration);
  void KickGroupMBR(const std::string& robot, const std::string& group, const std::string& member_uid);
  void WithdrawGroupMsg(const std::string& robot, const std::string& group,
                        const std::string& sequence, const std::string& message_id);
  void DelQQ(const std::string& account);
  std::string GetOnLineList();
  std::string GetOffLineList();

  // Looks every function up now and keeps the answers, found or missing:
  // afterwards no call asks the system's loader. A library freed without
  // its unload notice joins the workers from its teardown, under the
  // loader's lock; a worker asking the loader for a function then would
  // wait for ever, and so would the host.
  void ResolveAll();

  // The Api_ functions, numbered (defined with their names).
  enum Api : int;

 private:
  // The address of an Api_ function, looked up on first use.
  void* Find(Api api);

  Resolver resolver_;
  std::atomic<void*> addresses_[32] = {};
  std::atomic<bool> all_resolved_{false};
};

}  // namespace lanfeng
