// The notice window and the settings window the hosts' settings entries
// open, with every handler. The windows keep nothing of their own between
// events: the configuration files are the only store.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "owner/window.h"
#include "watch/watch_context.h"

namespace lanfeng {

// What the windows use of the plugin.
struct OwnerContext {
  WatchContext& watch;
  OpenWindows& windows;
  // The maker's notice text (GBK), fetched when asked.
  std::function<std::string()> fetch_notice;
};

extern const WindowLayout kNoticeWindowLayout;
extern const WindowLayout kSettingsWindowLayout;

// The default template a template box shows when its key is empty.
inline constexpr char kDefaultTemplate[] = "账号：【账号号码】\r\n时间：【现行时间】";

// Opens the notice window (filled with the notice text) and returns at once;
// its button closes it and opens the settings window.
std::shared_ptr<Window> OpenNoticeWindow(OwnerContext& owner);
// Opens the settings window, filled from the files.
std::shared_ptr<Window> OpenSettingsWindow(OwnerContext& owner);

// Sends the test mail: from and to the saved mailbox, the notice as body;
// the outcome goes to the host log.
void SendTestMail(OwnerContext& owner);

}  // namespace lanfeng
