#include "events.h"

#include "host/host_call.h"
#include "host/packet_codec.h"
#include "shell/event_intake.h"
#include "text.h"

namespace hostsim {
namespace {

using TextEntry = void (HOST_CALL*)(const char*);
using IntRecordEntry = int32_t (HOST_CALL*)(const void*);

std::string Missing(const char* name) { return std::string(name) + " is missing"; }

// The dulu host's hex text of a record.
std::string Hex(const lanfeng::PacketWriter& writer) { return lanfeng::HexEncode(writer.GetBytes()); }

std::string CallDuluPush(const PluginLibrary& plugin, const char* name, const std::string& hex) {
  auto push = plugin.Entry<TextEntry>(name);
  if (!push) return Missing(name);
  push(hex.c_str());
  return std::string(name) + " returned";
}

}  // namespace

std::string DeliverPrivateMessage(const PluginLibrary& plugin, HostKind kind, int64_t robot,
                                  int64_t sender, const std::string& text) {
  const std::string gbk = ToGbk(text);
  switch (kind) {
    case HostKind::kXlz: {
      auto entry = plugin.Entry<int32_t (HOST_CALL*)(const lanfeng::XlzPrivateMessage*)>("_OnPrivate");
      if (!entry) return Missing("_OnPrivate");
      lanfeng::XlzPrivateMessage record{};
      record.sender = sender;
      record.robot = robot;
      record.message = gbk.c_str();
      return "_OnPrivate answered " + std::to_string(entry(&record));
    }
    case HostKind::kDulu: {
      lanfeng::PacketWriter writer;
      writer.Reset();
      writer.WriteInt64(robot);
      writer.WriteInt16(0);
      for (int i = 0; i < 3; ++i) writer.WriteInt32(0);
      writer.WriteInt64(0);
      writer.WriteInt64(sender);
      writer.WriteInt64(0);
      writer.WriteInt32(static_cast<int32_t>(gbk.size()));
      writer.WriteBytes(gbk);
      return CallDuluPush(plugin, "_推送好友消息", Hex(writer));
    }
    case HostKind::kDr:
      return "the DR host delivers no private messages to plugins";
  }
  return "";
}

std::string DeliverEvent(const PluginLibrary& plugin, HostKind kind, int32_t code, int64_t robot,
                         int64_t group, int64_t actor, int64_t target) {
  switch (kind) {
    case HostKind::kXlz: {
      auto entry = plugin.Entry<int32_t (HOST_CALL*)(const lanfeng::XlzEvent*)>("_OnEvent");
      if (!entry) return Missing("_OnEvent");
      lanfeng::XlzEvent record{};
      record.robot = robot;
      record.group = group;
      record.operator_account = actor;
      record.target = target;
      record.kind = code;
      return "_OnEvent answered " + std::to_string(entry(&record));
    }
    case HostKind::kDulu: {
      lanfeng::PacketWriter writer;
      writer.Reset();
      writer.WriteInt64(robot);
      writer.WriteInt16(code);
      writer.WriteInt16(0);
      if (code < 3000) {  // a friend event: the other account is the inviter for 2002
        for (int i = 0; i < 3; ++i) writer.WriteInt32(0);
        writer.WriteInt64(0);
        writer.WriteInt64(group);
        writer.WriteInt64(code == 2002 ? actor : target);
      } else {  // a group event: the applicant
        writer.WriteInt64(group);
        for (int i = 0; i < 3; ++i) writer.WriteInt32(0);
        writer.WriteInt64(0);
        writer.WriteInt64(target);
      }
      writer.WriteInt64(0);
      writer.WriteInt32(0);
      return CallDuluPush(plugin, code < 3000 ? "_推送好友事件" : "_推送群聊事件", Hex(writer));
    }
    case HostKind::kDr: {
      using DrEvent = int32_t (HOST_CALL*)(const char*, int32_t, int32_t, const char*, const char*, const char*,
                                  const char*, const char*, const char*, const char*, const char*,
                                  int32_t, const char*, const char*);
      auto entry = plugin.Entry<DrEvent>("Dr_Event");
      if (!entry) return Missing("Dr_Event");
      const std::string r = std::to_string(robot), g = std::to_string(group);
      const std::string a = std::to_string(actor), t = std::to_string(target);
      int32_t answer = entry(r.c_str(), code, 0, g.c_str(), a.c_str(), t.c_str(), "", "", "", "", "",
                             0, "", "");
      return "Dr_Event answered " + std::to_string(answer);
    }
  }
  return "";
}

std::string DeliverLoginPrompt(const PluginLibrary& plugin, HostKind kind, int32_t prompt,
                               const std::string& text) {
  const std::string gbk = ToGbk(text);
  const char* name = kind == HostKind::kDr ? "Dr_Getticket" : "_GetTicket";
  if (kind == HostKind::kDulu) return "the dulu host has no login prompts";
  const char* answer = nullptr;
  if (kind == HostKind::kDr) {
    auto entry = plugin.Entry<const char* (HOST_CALL*)(const char*, int32_t, const char*)>(name);
    if (!entry) return Missing(name);
    answer = entry("", prompt, gbk.c_str());
  } else {
    auto entry = plugin.Entry<const char* (HOST_CALL*)(int32_t, int32_t, const char*)>(name);
    if (!entry) return Missing(name);
    answer = entry(prompt, 0, gbk.c_str());
  }
  return std::string(name) + " answered \"" + FromGbk(answer ? answer : "(null)") + "\"";
}

}  // namespace hostsim
