#include "hosts.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "bot_sim.h"
#include "text.h"

namespace hostsim {
namespace {

const LifecycleEntries kDrEntries{"Dr_Enable", "Dr_Disable", "Dr_DestroyPlugin"};
const LifecycleEntries kXlzEntries{"_AppStart", "_AppEnd", "_AppUnload"};
const LifecycleEntries kDuluEntries{"_启用", "_禁用", "_卸载"};

using IntEntry = int32_t (*)();
using VoidEntry = void (*)();

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

void ShowDrCall(const char* api, const char* arguments) {
  if (std::strcmp(api, "Api_OutPutLog") == 0) {
    std::printf("[DR log] %s\n", FromGbk(arguments).c_str());
  } else {
    std::printf("[DR call] %s(%s)\n", api, FromGbk(arguments).c_str());
  }
  std::fflush(stdout);
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

void ShowDrHostCalls() { BotSim_SetSink(ShowDrCall); }

}  // namespace hostsim
