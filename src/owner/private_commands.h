// The chat commands by which the owner sets up mail forwarding for a
// watched account: sent as a private message from that account to itself.
#pragma once

#include <string>

#include "watch/watch_context.h"

namespace lanfeng {

// The command words and replies.
inline constexpr char kMenuCommand[] = "邮件菜单";
inline constexpr char kForwardOnCommand[] = "开启邮件转移通知";
inline constexpr char kForwardOffCommand[] = "关闭邮件转移通知";
inline constexpr char kSetForwardCommand[] = "设置转移通知账号";
inline constexpr char kMenuReply[] =
    "——邮件菜单——\r\n开启邮件转移通知\r\n关闭邮件转移通知\r\n设置转移通知账号xxx\r\n——邮件菜单——\r\n"
    "ps：设置转移通知账号123456";
inline constexpr char kDoneReply[] = "ok";
inline constexpr char kSetForwardErrorReply[] = "设置转移通知账号错误，请从新设置！";
// When the record could not be written, the owner is told instead of "ok".
inline constexpr char kNotSavedReply[] = "设置未保存：账号记录无法写入，请检查数据目录后重试！";

// Handles one private message: only a message the robot account sent itself
// is looked at; a command word, matched whole, changes the sender's record
// and is answered in the same chat.
void HandlePrivateCommand(WatchContext& watch, const std::string& robot, const std::string& sender,
                          const std::string& message);

}  // namespace lanfeng
