#include "host/dr_binding.h"

#include "host/host_call.h"
#include "platform/platform.h"

namespace lanfeng {

enum DrBinding::Api : int {
  kOutPutLog,
  kSendMsg,
  kSendTempGroupMsg,
  kGetQQtoUid,
  kGetQQtoUidEx,
  kUpLoadPic,
  kUpLoad,
  kSetRInfEx,
  kSetGroupName,
  kSetGroupCard,
  kUpVote,
  kHandleGroupEvent,
  kHandleFriendEvent,
  kShutUP,
  kKickGroupMBR,
  kWithdrawGroupMsg,
  kDelQQ,
  kGetOnLineList,
  kGetOffLineList,
  kApiCount
};
static_assert(DrBinding::kApiCount <= 32, "the address cache holds every Api_ function");

namespace {

constexpr const char* kApiNames[] = {
    "Api_OutPutLog",        "Api_SendMsg",       "Api_SendTempGroupMsg", "Api_GetQQtoUid",
    "Api_GetQQtoUidEx",     "Api_UpLoadPic",     "Api_UpLoad",           "Api_SetRInfEx",
    "Api_SetGroupName",     "Api_SetGroupCard",  "Api_UpVote",           "Api_HandleGroupEvent",
    "Api_HandleFriendEvent", "Api_ShutUP",       "Api_KickGroupMBR",     "Api_WithdrawGroupMsg",
    "Api_DelQQ",            "Api_GetOnLineList", "Api_GetOffLineList",
};
static_assert(sizeof kApiNames / sizeof kApiNames[0] == DrBinding::kApiCount, "one name per Api_ function");

// Signatures of the Bot.dll functions.
using TextIn = const char*;
using TextOut = const char*;
using Fn1 = int32_t(HOST_CALL*)(TextIn);
using Fn2 = int32_t(HOST_CALL*)(TextIn, TextIn);
using Fn3 = int32_t(HOST_CALL*)(TextIn, TextIn, TextIn);
using Fn4 = int32_t(HOST_CALL*)(TextIn, TextIn, TextIn, TextIn);
using Fn3I = int32_t(HOST_CALL*)(TextIn, TextIn, int32_t);
using Fn4I = int32_t(HOST_CALL*)(TextIn, TextIn, TextIn, int32_t);
using FnUpVote = int32_t(HOST_CALL*)(TextIn, TextIn, int32_t, int32_t);
using FnSendMsg = TextOut(HOST_CALL*)(TextIn, int32_t, TextIn, TextIn);
using FnTextOut0 = TextOut(HOST_CALL*)();
using FnTextOut1 = TextOut(HOST_CALL*)(TextIn);
using FnTextOut2 = TextOut(HOST_CALL*)(TextIn, TextIn);
using FnTextOut4 = TextOut(HOST_CALL*)(TextIn, TextIn, TextIn, TextIn);
using FnUpLoadPic = TextOut(HOST_CALL*)(TextIn, int32_t, TextIn, TextIn, int32_t, int32_t, intptr_t,
                                        int32_t);

std::string Copy(TextOut text) { return text ? std::string(text) : std::string(); }

void AppendField(std::string* text, const char* name, const std::string& value) {
  *text += std::string("\"") + name + "\":\"" + value + "\",";
}

}  // namespace

std::string DrProfileText(const DrProfile& profile) {
  auto in_range = [](int32_t value, int32_t high) { return value >= 1 && value <= high ? value : 1; };
  std::string fields;
  if (profile.nickname) AppendField(&fields, "昵称", *profile.nickname);
  if (profile.gender) AppendField(&fields, "性别", std::to_string(in_range(*profile.gender, 2)));
  if (profile.birthday) AppendField(&fields, "生日", *profile.birthday);
  if (profile.occupation) AppendField(&fields, "职业", std::to_string(in_range(*profile.occupation, 14)));
  if (profile.company) AppendField(&fields, "公司", *profile.company);
  if (profile.location) AppendField(&fields, "所在地", *profile.location);
  if (profile.hometown) AppendField(&fields, "家乡", *profile.hometown);
  if (profile.email) AppendField(&fields, "邮箱", *profile.email);
  if (profile.signature) AppendField(&fields, "个人说明", *profile.signature);
  if (!fields.empty()) fields.pop_back();  // the final comma
  return "{\"info\":{" + fields + "}}";
}

DrBinding::DrBinding()
    : resolver_([](const char* name) { return FindLoadedLibrarySymbol("Bot.dll", name); }) {}

DrBinding::DrBinding(Resolver resolver) : resolver_(std::move(resolver)) {}

void* DrBinding::Find(Api api) {
  void* address = addresses_[api].load(std::memory_order_acquire);
  if (address != nullptr) return address;
  // Two threads may look the same name up at once; both find one address.
  const bool ask = resolver_ && !all_resolved_.load(std::memory_order_acquire);
  address = ask ? resolver_(kApiNames[api]) : nullptr;
  if (address == nullptr) {
    DebugTrace(std::string("Bot.dll has no ") + kApiNames[api] + "; call skipped");
    return nullptr;
  }
  addresses_[api].store(address, std::memory_order_release);
  return address;
}

void DrBinding::ResolveAll() {
  for (int api = 0; api < kApiCount; ++api) {
    if (addresses_[api].load(std::memory_order_acquire) != nullptr || !resolver_) continue;
    if (void* address = resolver_(kApiNames[api])) {
      addresses_[api].store(address, std::memory_order_release);
    }
  }
  all_resolved_.store(true, std::memory_order_release);
}

// Calls the function of `api` as type F when it exists.
#define DR_CALL(F, api, ...)                                       \
  do {                                                             \
    if (void* fn = Find(api)) reinterpret_cast<F>(fn)(__VA_ARGS__); \
  } while (0)
#define DR_TEXT_CALL(F, api, ...)                                                    \
  do {                                                                               \
    void* fn = Find(api);                                                            \
    return fn ? Copy(reinterpret_cast<F>(fn)(__VA_ARGS__)) : std::string();          \
  } while (0)

void DrBinding::OutPutLog(const std::string& line) { DR_CALL(Fn1, kOutPutLog, line.c_str()); }

void DrBinding::SendMsg(const std::string& robot, int32_t type, const std::string& target,
                        const std::string& message) {
  DR_CALL(FnSendMsg, kSendMsg, robot.c_str(), type, target.c_str(), message.c_str());
}

void DrBinding::SendTempGroupMsg(const std::string& robot, const std::string& group,
                                 const std::string& member_uid, const std::string& message) {
  DR_CALL(FnTextOut4, kSendTempGroupMsg, robot.c_str(), group.c_str(), member_uid.c_str(),
          message.c_str());
}

std::string DrBinding::GetQQtoUid(const std::string& account) {
  DR_TEXT_CALL(FnTextOut1, kGetQQtoUid, account.c_str());
}

std::string DrBinding::GetQQtoUidEx(const std::string& robot, const std::string& account) {
  DR_TEXT_CALL(FnTextOut2, kGetQQtoUidEx, robot.c_str(), account.c_str());
}

std::string DrBinding::UpLoadPic(const std::string& robot, int32_t type, const std::string& group,
                                 const std::string& friend_account, const std::string& data) {
  DR_TEXT_CALL(FnUpLoadPic, kUpLoadPic, robot.c_str(), type, group.c_str(), friend_account.c_str(), 0,
               0, reinterpret_cast<intptr_t>(data.data()), static_cast<int32_t>(data.size()));
}

void DrBinding::UpLoad(const std::string& robot, const std::string& picture_path) {
  DR_CALL(Fn2, kUpLoad, robot.c_str(), picture_path.c_str());
}

void DrBinding::SetRInfEx(const std::string& robot, const DrProfile& profile) {
  std::string text = DrProfileText(profile);
  DR_CALL(Fn2, kSetRInfEx, robot.c_str(), text.c_str());
}

void DrBinding::SetGroupName(const std::string& robot, const std::string& group,
                             const std::string& name) {
  DR_CALL(Fn3, kSetGroupName, robot.c_str(), group.c_str(), name.c_str());
}

void DrBinding::SetGroupCard(const std::string& robot, const std::string& group,
                             const std::string& member_uid, const std::string& card) {
  DR_CALL(Fn4, kSetGroupCard, robot.c_str(), group.c_str(), member_uid.c_str(), card.c_str());
}

void DrBinding::UpVote(const std::string& robot, const std::string& friend_uid) {
  DR_CALL(FnUpVote, kUpVote, robot.c_str(), friend_uid.c_str(), 1, 1);
}

void DrBinding::HandleGroupEvent(const std::string& robot, const std::string& group,
                                 const std::string& sequence, int32_t decision) {
  DR_CALL(Fn4I, kHandleGroupEvent, robot.c_str(), group.c_str(), sequence.c_str(), decision);
}

void DrBinding::HandleFriendEvent(const std::string& robot, const std::string& requester_uid) {
  DR_CALL(Fn3I, kHandleFriendEvent, robot.c_str(), requester_uid.c_str(), 1);
}

void DrBinding::ShutUP(const std::string& robot, const std::string& group,
                       const std::string& member_uid, int32_t duration) {
  DR_CALL(Fn4I, kShutUP, robot.c_str(), group.c_str(), member_uid.c_str(), duration);
}

void DrBinding::KickGroupMBR(const std::string& robot, const std::string& group,
                             const std::string& member_uid) {
  DR_CALL(Fn4I, kKickGroupMBR, robot.c_str(), group.c_str(), member_uid.c_str(), 0);
}

void DrBinding::WithdrawGroupMsg(const std::string& robot, const std::string& group,
                                 const std::string& sequence, const std::string& message_id) {
  DR_CALL(Fn4, kWithdrawGroupMsg, robot.c_str(), group.c_str(), sequence.c_str(), message_id.c_str());
}

void DrBinding::DelQQ(const std::string& account) { DR_CALL(Fn1, kDelQQ, account.c_str()); }

std::string DrBinding::GetOnLineList() { DR_TEXT_CALL(FnTextOut0, kGetOnLineList); }

std::string DrBinding::GetOffLineList() { DR_TEXT_CALL(FnTextOut0, kGetOffLineList); }

}  // namespace lanfeng
