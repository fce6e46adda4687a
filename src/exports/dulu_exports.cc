// Entry points of the dulu host.
#include <cstdint>
#include <string>

#include "exports/entry.h"
#include "shell/event_intake.h"
#include "shell/plugin_state.h"

using lanfeng::Guarded;
using lanfeng::Plugin;

// Registration: the host hands over the address of the function that
// supplies its API table and gets the identity map's hex text.
LANFENG_EXPORT const char* HOST_CALL Init_DuLu(lanfeng::HostAddress supplier) {
  return Guarded<const char*>("", [supplier] {
    return Plugin().texts.dulu_init.Keep(lanfeng::RegisterDulu(Plugin(), supplier));
  });
}

LANFENG_EXPORT int32_t HOST_CALL _启用() {
  return Guarded(1, [] {
    Plugin().Enable();
    return 1;
  });
}

// The dulu host takes no answer from these two.
LANFENG_EXPORT void HOST_CALL _禁用() {
  Guarded([] { Plugin().Disable(); });
}

// The unload notice: the workers stop before the host frees the library.
LANFENG_EXPORT void HOST_CALL _卸载() {
  Guarded([] { Plugin().StopWorkersForUnload(); });
}

namespace {

// A push's hex text; null is the empty text.
std::string Hex(const char* text) { return lanfeng::HostText(text); }

}  // namespace

// Pushes the plugin does not use.
LANFENG_EXPORT void HOST_CALL _推送自身事件(const char*) {}
LANFENG_EXPORT void HOST_CALL _推送群聊消息(const char*) {}
LANFENG_EXPORT void HOST_CALL _推送频道消息(const char*) {}
LANFENG_EXPORT void HOST_CALL _推送临时消息(const char*) {}

// A friend's message: the chat commands.
LANFENG_EXPORT void HOST_CALL _推送好友消息(const char* record) {
  Guarded([record] { lanfeng::OnDuluFriendMessage(Plugin().watch, Hex(record)); });
}

// Friend and group events: notices by kind.
LANFENG_EXPORT void HOST_CALL _推送好友事件(const char* record) {
  Guarded([record] { lanfeng::OnDuluFriendEvent(Plugin().host, Hex(record)); });
}

LANFENG_EXPORT void HOST_CALL _推送群聊事件(const char* record) {
  Guarded([record] { lanfeng::OnDuluGroupEvent(Plugin().host, Hex(record)); });
}

// Hijack hooks: the plugin takes nothing over and answers the empty text.
LANFENG_EXPORT const char* HOST_CALL _劫持好友消息(const char*, int32_t, int32_t, int32_t, int32_t,
                                                  const char*) {
  return Guarded<const char*>("", [] { return Plugin().texts.dulu_hijack_friend.Keep(""); });
}

LANFENG_EXPORT const char* HOST_CALL _劫持群聊消息(const char*, int32_t, int32_t, int32_t, int32_t,
                                                  const char*) {
  return Guarded<const char*>("", [] { return Plugin().texts.dulu_hijack_group.Keep(""); });
}

// The settings entry: the notice window, then the settings window.
LANFENG_EXPORT void HOST_CALL _菜单() {
  Guarded([] { lanfeng::OpenNoticeWindow(Plugin().owner); });
}
