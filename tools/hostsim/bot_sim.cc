#include "bot_sim.h"

#include <atomic>
#include <mutex>
#include <string>

namespace {

std::atomic<BotSimSink> sink{nullptr};
std::mutex lists_mu;
bool has_online = false, has_offline = false;
std::string online_list, offline_list;
thread_local std::string answer;  // a text answer stays valid until the next call

std::string Join(std::initializer_list<std::string> parts) {
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : "|") + part;
  return joined;
}

void Report(const char* api, const std::string& arguments) {
  if (BotSimSink s = sink.load()) s(api, arguments.c_str());
}

std::string Text(const char* text) { return text ? text : "(null)"; }

const char* Answer(std::string text) {
  answer = std::move(text);
  return answer.c_str();
}

}  // namespace

extern "C" {

BOT_API void BotSim_SetSink(BotSimSink new_sink) { sink.store(new_sink); }

BOT_API void BotSim_SetLists(const char* online, const char* offline) {
  std::lock_guard<std::mutex> lock(lists_mu);
  has_online = online != nullptr;
  has_offline = offline != nullptr;
  online_list = online ? online : "";
  offline_list = offline ? offline : "";
}

BOT_API int32_t HOST_CALL Api_OutPutLog(const char* line) {
  Report("Api_OutPutLog", Text(line));
  return 1;
}

BOT_API const char* HOST_CALL Api_SendMsg(const char* robot, int32_t type, const char* target, const char* message) {
  Report("Api_SendMsg", Join({Text(robot), std::to_string(type), Text(target), Text(message)}));
  return Answer("");
}

BOT_API const char* HOST_CALL Api_SendTempGroupMsg(const char* robot, const char* group, const char* uid, const char* message) {
  Report("Api_SendTempGroupMsg", Join({Text(robot), Text(group), Text(uid), Text(message)}));
  return Answer("");
}

BOT_API const char* HOST_CALL Api_GetQQtoUid(const char* account) {
  Report("Api_GetQQtoUid", Text(account));
  return Answer(std::string("u_") + Text(account));
}

BOT_API const char* HOST_CALL Api_GetQQtoUidEx(const char* robot, const char* account) {
  Report("Api_GetQQtoUidEx", Join({Text(robot), Text(account)}));
  return Answer(std::string("u_") + Text(account));
}

BOT_API const char* HOST_CALL Api_UpLoadPic(const char* robot, int32_t type, const char* group, const char* friend_account,
                          int32_t a, int32_t b, intptr_t data, int32_t length) {
  Report("Api_UpLoadPic", Join({Text(robot), std::to_string(type), Text(group), Text(friend_account),
                                std::to_string(a), std::to_string(b), std::to_string(length) + " bytes"}));
  (void)data;
  return Answer("[pic,hash=sim" + std::to_string(length) + "]");
}

BOT_API int32_t HOST_CALL Api_UpLoad(const char* robot, const char* path) {
  Report("Api_UpLoad", Join({Text(robot), Text(path)}));
  return 1;
}

BOT_API int32_t HOST_CALL Api_SetRInfEx(const char* robot, const char* profile) {
  Report("Api_SetRInfEx", Join({Text(robot), Text(profile)}));
  return 1;
}

BOT_API int32_t HOST_CALL Api_SetGroupName(const char* robot, const char* group, const char* name) {
  Report("Api_SetGroupName", Join({Text(robot), Text(group), Text(name)}));
  return 1;
}

BOT_API int32_t HOST_CALL Api_SetGroupCard(const char* robot, const char* group, const char* uid, const char* card) {
  Report("Api_SetGroupCard", Join({Text(robot), Text(group), Text(uid), Text(card)}));
  return 1;
}

BOT_API int32_t HOST_CALL Api_UpVote(const char* robot, const char* uid, int32_t a, int32_t b) {
  Report("Api_UpVote", Join({Text(robot), Text(uid), std::to_string(a), std::to_string(b)}));
  return 1;
}

BOT_API int32_t HOST_CALL Api_HandleGroupEvent(const char* robot, const char* group, const char* seq, int32_t decision) {
  Report("Api_HandleGroupEvent", Join({Text(robot), Text(group), Text(seq), std::to_string(decision)}));
  return 1;
}

BOT_API int32_t HOST_CALL Api_HandleFriendEvent(const char* robot, const char* uid, int32_t decision) {
  Report("Api_HandleFriendEvent", Join({Text(robot), Text(uid), std::to_string(decision)}));
  return 1;
}

BOT_API int32_t HOST_CALL Api_ShutUP(const char* robot, const char* group, const char* uid, int32_t duration) {
  Report("Api_ShutUP", Join({Text(robot), Text(group), Text(uid), std::to_string(duration)}));
  return 1;
}

BOT_API int32_t HOST_CALL Api_KickGroupMBR(const char* robot, const char* group, const char* uid, int32_t flag) {
  Report("Api_KickGroupMBR", Join({Text(robot), Text(group), Text(uid), std::to_string(flag)}));
  return 1;
}

BOT_API int32_t HOST_CALL Api_WithdrawGroupMsg(const char* robot, const char* group, const char* seq, const char* id) {
  Report("Api_WithdrawGroupMsg", Join({Text(robot), Text(group), Text(seq), Text(id)}));
  return 1;
}

BOT_API int32_t HOST_CALL Api_DelQQ(const char* account) {
  Report("Api_DelQQ", Text(account));
  return 1;
}

BOT_API const char* HOST_CALL Api_GetOnLineList() {
  Report("Api_GetOnLineList", "");
  std::lock_guard<std::mutex> lock(lists_mu);
  return has_online ? Answer(online_list) : nullptr;
}

BOT_API const char* HOST_CALL Api_GetOffLineList() {
  Report("Api_GetOffLineList", "");
  std::lock_guard<std::mutex> lock(lists_mu);
  return has_offline ? Answer(offline_list) : nullptr;
}
}
