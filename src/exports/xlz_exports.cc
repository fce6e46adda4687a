// Entry points of the XiaoLiZi host.
#include <cstdint>
#include <string>

#include "exports/entry.h"
#include "shell/plugin_state.h"

using lanfeng::Guarded;
using lanfeng::Plugin;

LANFENG_EXPORT int32_t HOST_CALL _AppStart();
LANFENG_EXPORT int32_t HOST_CALL _AppEnd();
LANFENG_EXPORT int32_t HOST_CALL _AppUnload();
LANFENG_EXPORT int32_t HOST_CALL _ControlPanel();
LANFENG_EXPORT int32_t HOST_CALL _OnPrivate(const void* message);
LANFENG_EXPORT int32_t HOST_CALL _OnGroup(const void* message);
LANFENG_EXPORT int32_t HOST_CALL _OnEvent(const void* event);

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

// An unload notice: nothing is torn down until the library itself goes.
LANFENG_EXPORT int32_t HOST_CALL _AppUnload() { return 0; }

// The settings entry.
LANFENG_EXPORT int32_t HOST_CALL _ControlPanel() { return 0; }

// A private message (the host's private-message record).
LANFENG_EXPORT int32_t HOST_CALL _OnPrivate(const void*) { return 0; }

// A group message: not used.
LANFENG_EXPORT int32_t HOST_CALL _OnGroup(const void*) { return 0; }

// A friend or group event (the host's event record).
LANFENG_EXPORT int32_t HOST_CALL _OnEvent(const void*) { return 0; }
