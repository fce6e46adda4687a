#include "hosts.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "accounts.h"
#include "bot_sim.h"
#include "dulu_host.h"
#include "host/host_call.h"
#include "host_calls.h"
#include "text.h"
#include "window_driver.h"
#include "xlz_host.h"

namespace hostsim {
namespace {

const LifecycleEntries kDrEntries{"Dr_Enable", "Dr_Disable", "Dr_DestroyPlugin"};
const LifecycleEntries kXlzEntries{"_AppStart", "_AppEnd", "_AppUnload"};
const LifecycleEntries kDuluEntries{"_启用", "_禁用", "_卸载"};

using IntEntry = int32_t (HOST_CALL*)();
using VoidEntry = void (HOST_CALL*)();

// The dulu host's disable and unload notice answer nothing.
bool AnswersNothing(HostKind kind, const char* name) {
  return kind == HostKind::kDulu && std::strcmp(name, kDuluEntries.enable) != 0;
}

std::string Call(const PluginLibrary& plugin, HostKind kind, const char* name) {
  void* entry = plugin.Find(name);
  if (!entry) return std::string(name) + " is missing";
  if (AnswersNothing(kind, name)) {
    reinterpret_cast<VoidEntry>(entry)();
    return std::string(name) + " returned";
  }
  int32_t answer = reinterpret_cast<IntEntry>(entry)();
  return std::string(name) + " answered " + std::to_string(answer);
}

HostKind shown_host = HostKind::kDr;

// The lines shown and not yet passed over by TakeShownLine.
std::mutex shown_mutex;
std::deque<std::string> shown_lines;
constexpr size_t kShownLinesKept = 4096;

void Show(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::lock_guard<std::mutex> lock(shown_mutex);
  shown_lines.push_back(line);
  if (shown_lines.size() > kShownLinesKept) shown_lines.pop_front();
}

// Prints one host call: log lines as the host's log shows them, other calls
// with their arguments.
void ShowCall(const std::string& function, const std::string& arguments) {
  const std::string name = FromGbk(function);
  const char* host = HostName(shown_host);
  if (name == "Api_OutPutLog") {
    Show(std::string("[") + host + " log] " + FromGbk(arguments));
  } else if (name == "输出日志") {
    // The key or signature comes first, then the line and its colours.
    std::string rest = arguments.substr(arguments.find('|') + 1);
    Show(std::string("[") + host + " log] " + FromGbk(rest.substr(0, rest.find('|'))));
  } else if (name == "发送好友消息" || name == "发送消息_好友") {
    // A chat reply: key or signature, robot, friend, then the message (and,
    // on XiaoLiZi, its two output variables).
    size_t start = 0;
    for (int i = 0; i < 3 && start != std::string::npos; ++i) start = arguments.find('|', start + 1);
    std::string message = start == std::string::npos ? "" : arguments.substr(start + 1);
    if (name == "发送好友消息") message = message.substr(0, message.rfind("|out|out"));
    std::string friend_account = arguments.substr(0, start);
    friend_account = friend_account.substr(friend_account.rfind('|') + 1);
    Show(std::string("[") + host + " chat to " + friend_account + "] " + FromGbk(message));
  } else {
    Show(std::string("[") + host + " call] " + name + "(" + FromGbk(arguments) + ")");
  }
  std::fflush(stdout);
}

// The DR host removes an account the plugin deletes.
void ShowDrCall(const char* api, const char* arguments) {
  ShowCall(api, arguments);
  if (std::strcmp(api, "Api_DelQQ") == 0) RemoveAccount(arguments);
}

std::string Shorten(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  return text.substr(0, limit) + "… (" + std::to_string(text.size()) + " bytes in all)";
}

}  // namespace

bool ParseHostKind(const std::string& name, HostKind* kind) {
  if (name == "dr") *kind = HostKind::kDr;
  else if (name == "xlz") *kind = HostKind::kXlz;
  else if (name == "dulu") *kind = HostKind::kDulu;
  else return false;
  return true;
}

const char* HostName(HostKind kind) {
  switch (kind) {
    case HostKind::kDr: return "DR";
    case HostKind::kXlz: return "XiaoLiZi";
    case HostKind::kDulu: return "dulu";
  }
  return "?";
}

const LifecycleEntries& EntriesOf(HostKind kind) {
  switch (kind) {
    case HostKind::kDr: return kDrEntries;
    case HostKind::kXlz: return kXlzEntries;
    case HostKind::kDulu: return kDuluEntries;
  }
  return kDrEntries;
}

std::string CallEnable(const PluginLibrary& plugin, HostKind kind) {
  return Call(plugin, kind, EntriesOf(kind).enable);
}

std::string CallDisable(const PluginLibrary& plugin, HostKind kind) {
  return Call(plugin, kind, EntriesOf(kind).disable);
}

std::string CallUnloadNotice(const PluginLibrary& plugin, HostKind kind) {
  return Call(plugin, kind, EntriesOf(kind).unload_notice);
}

std::string CallRegister(const PluginLibrary& plugin, HostKind kind, std::string* answer) {
  std::string kept;
  std::string& raw = answer ? *answer : kept;
  switch (kind) {
    case HostKind::kDr: {
      auto create = plugin.Entry<const char* (HOST_CALL*)()>("Dr_Create");
      if (!create) return "Dr_Create is missing";
      raw = create();
      return "Dr_Create answered:\n" + FromGbk(raw);
    }
    case HostKind::kXlz: {
      auto initialize = plugin.Entry<const char* (HOST_CALL*)(const char*, const char*)>("初始化");
      if (!initialize) return "初始化 is missing";
      std::string list = XlzApiList();
      raw = initialize(list.c_str(), kXlzPluginKey);
      return "初始化 answered: " + Shorten(FromGbk(raw), 600);
    }
    case HostKind::kDulu: {
      auto init = plugin.Entry<const char* (HOST_CALL*)(intptr_t)>("Init_DuLu");
      if (!init) return "Init_DuLu is missing";
      raw = init(DuluApiSupplier());
      return "Init_DuLu answered " + Shorten(raw, 60) + "\nwhich is the identity map:\n" +
             FromGbk(DescribeDuluIdentity(raw));
    }
  }
  return "";
}

std::string CallSettingsEntry(const PluginLibrary& plugin, HostKind kind) {
  switch (kind) {
    case HostKind::kXlz: {
      auto entry = plugin.Entry<int32_t (HOST_CALL*)()>("_ControlPanel");
      return entry ? "_ControlPanel answered " + std::to_string(entry()) : "_ControlPanel is missing";
    }
    case HostKind::kDr:
    case HostKind::kDulu: {
      const char* name = kind == HostKind::kDr ? "Dr_SetUp" : "_菜单";
      auto entry = plugin.Entry<void (HOST_CALL*)()>(name);
      if (!entry) return std::string(name) + " is missing";
      entry();
      return std::string(name) + " returned";
    }
  }
  return "";
}

std::string DriveWindow(const PluginLibrary& plugin, const std::string& action,
                        const std::string& window, const std::string& control,
                        const std::string& text) {
  std::string value;
  for (size_t i = 0; i < text.size(); ++i) {
    if (action == "type" && text.compare(i, 2, "\\n") == 0) {
      value += "\r\n";
      ++i;
    } else {
      value += text[i];
    }
  }
  return DriveWindowControl(plugin, action, window, ToGbk(control), ToGbk(value))
             ? action + " " + window + (control.empty() ? "" : " " + control) + ": done"
             : "no such window or control: " + window + " " + control;
}

void ShowHostCalls(HostKind kind) {
  shown_host = kind;
  if (kind == HostKind::kDr) {
    BotSim_SetSink(ShowDrCall);
  } else {
    SetCallPrinter(ShowCall);
  }
}

bool TakeShownLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(shown_mutex);
  for (auto line = shown_lines.begin(); line != shown_lines.end(); ++line) {
    if (line->find(text) == std::string::npos) continue;
    shown_lines.erase(shown_lines.begin(), line + 1);
    return true;
  }
  return false;
}

}  // namespace hostsim
