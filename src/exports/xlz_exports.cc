// Entry points of the XiaoLiZi host.
#include <cstdint>
#include <string>

#include "exports/entry.h"
#include "shell/event_intake.h"
#include "shell/plugin_state.h"

using lanfeng::Guarded;
using lanfeng::Plugin;

LANFENG_EXPORT int32_t HOST_CALL _AppStart();
LANFENG_EXPORT int32_t HOST_CALL _AppEnd();
LANFENG_EXPORT int32_t HOST_CALL _AppUnload();
LANFENG_EXPORT int32_t HOST_CALL _ControlPanel();
LANFENG_EXPORT int32_t HOST_CALL _OnPrivate(const lanfeng::XlzPrivateMessage* message);
LANFENG_EXPORT int32_t HOST_CALL _OnGroup(const void* message);
LANFENG_EXPORT int32_t HOST_CALL _OnEvent(const lanfeng::XlzEvent* event);

namespace {

template <typename F>
intptr_t AddressOf(F* entry) {
  return reinterpret_cast<intptr_t>(entry);
}

}  // namespace

// Registration: the host hands over its API list and our key and learns
// the addresses of the callbacks below from the answer.
LANFENG_EXPORT const char* HOST_CALL 初始化(const char* api_list, const char* key) {
  return Guarded<const char*>("", [api_list, key] {
    lanfeng::XlzCallbacks callbacks;
    callbacks.enable = AddressOf(&_AppStart);
    callbacks.disable = AddressOf(&_AppEnd);
    callbacks.unload = AddressOf(&_AppUnload);
    callbacks.settings = AddressOf(&_ControlPanel);
    callbacks.private_message = AddressOf(&_OnPrivate);
    callbacks.group_message = AddressOf(&_OnGroup);
    callbacks.event = AddressOf(&_OnEvent);
    std::string json = lanfeng::RegisterXlz(Plugin(), api_list ? api_list : "", key ? key : "", callbacks);
    return Plugin().texts.xlz_initialize.Keep(std::move(json));
  });
}

LANFENG_EXPORT int32_t HOST_CALL _AppStart() {
  return Guarded(0, [] {
    Plugin().Enable();
    return 0;
  });
}

LANFENG_EXPORT int32_t HOST_CALL _AppEnd() {
  return Guarded(0, [] {
    Plugin().Disable();
    return 0;
  });
}

// The unload notice: the workers stop before the host frees the library.
LANFENG_EXPORT int32_t HOST_CALL _AppUnload() {
  return Guarded(0, [] {
    Plugin().StopWorkersForUnload();
    return 0;
  });
}

// The settings entry: the notice window, then the settings window.
LANFENG_EXPORT int32_t HOST_CALL _ControlPanel() {
  return Guarded(0, [] {
    lanfeng::OpenNoticeWindow(Plugin().owner);
    return 0;
  });
}

// A private message: the chat commands.
LANFENG_EXPORT int32_t HOST_CALL _OnPrivate(const lanfeng::XlzPrivateMessage* message) {
  return Guarded(0, [message] {
    lanfeng::OnXlzPrivateMessage(Plugin().watch, message);
    return 0;
  });
}

// A group message: not used.
LANFENG_EXPORT int32_t HOST_CALL _OnGroup(const void*) { return 0; }

// A friend or group event: a notice by its kind.
LANFENG_EXPORT int32_t HOST_CALL _OnEvent(const lanfeng::XlzEvent* event) {
  return Guarded(0, [event] {
    lanfeng::OnXlzEvent(Plugin().host, event);
    return 0;
  });
}

// A channel push: not used.
LANFENG_EXPORT int32_t HOST_CALL _OnGuildPush(const void*) { return 0; }

// A message from another plugin: its fourth text, copied back.
LANFENG_EXPORT const char* HOST_CALL _OnPluginMessage(const lanfeng::XlzPluginMessage* message) {
  return Guarded<const char*>("", [message] {
    return Plugin().texts.xlz_plugin_message.Keep(lanfeng::XlzPluginMessageText(message));
  });
}

// Login prompts: the plugin supplies nothing.
LANFENG_EXPORT const char* HOST_CALL _GetTicket(int32_t, int32_t, const char*) {
  return Guarded<const char*>("", [] { return Plugin().texts.xlz_get_ticket.Keep(""); });
}

LANFENG_EXPORT const char* HOST_CALL _GetPhoneVefCode(int32_t, int32_t, const char*) {
  return Guarded<const char*>("", [] { return Plugin().texts.xlz_get_phone_code.Keep(""); });
}
